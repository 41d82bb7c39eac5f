// The preview: tables of the stored images, the preview rendering, the
// control-state refresh and colour picking.
#include "preview.h"

#include "module.h"
