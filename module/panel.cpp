// The options panel: construction, the lists, the layer commands and the layer
// property controls.
#include "panel.h"

#include "layers.h"
#include "module.h"

int32_t Lcount = 0;
int32_t bmx = 0, mmx = 0, mmc = 0;

// Not yet built: the panel reports that it cannot open, which changes nothing.
const char *QXOptions(HostInstance instance) {
  (void)instance;
  return "Could not access Panels global!";
}
