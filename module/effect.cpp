// The pixel effect engine: per-pixel evaluation, the layer effect and the
// colour-space conversions.
#include "effect.h"

#include "layers.h"
#include "module.h"

const char *popup1_data[MODE_COUNT + 1] = {
    "AmbientLight", "Add", "Sub", "Multiply", "Difference", "Screen", "Overlay",
    "Hue", "Saturation", "Value", nullptr,
};

// Not yet built: the evaluation writes nothing, so every pixel keeps its
// rendered colour.
void QXEvaluate(HostInstance instance, const HostPixelAccess *access) {
  (void)instance;
  (void)access;
}
