// The options panel: construction, the three lists, the layer commands and the
// layer property controls.
#ifndef QX_MODULE_PANEL_H
#define QX_MODULE_PANEL_H

#include <stdint.h>

#include "qx/host.h"

struct FilterInstance;
struct SBEntry;

// Control numbers, in creation order; also the index of `ctl` and `ctlOn`.
enum {
  CTL_BUFFER_LIST = 0,
  CTL_SURFACE_LIST = 1,
  CTL_ACTIVE = 2,
  CTL_COPY = 3,
  CTL_PASTE = 4,
  CTL_ADD_LAYER = 5,
  CTL_DEL_LAYER = 6,
  CTL_EXPORT = 7,
  CTL_IMPORT = 8,
  CTL_ALL_ON = 9,
  CTL_ALL_OFF = 10,
  CTL_ALL_INVERT = 11,
  CTL_LAYER_LIST = 12,
  CTL_ENABLED = 13,
  CTL_UP = 14,
  CTL_DOWN = 15,
  CTL_LAYER_TYPE = 16,
  CTL_COLOR = 17,
  CTL_SWATCH = 18,
  CTL_INTENSITY = 19,
  CTL_MODE = 20,
  CTL_IN_BUFFER = 21,
  CTL_INVERT = 22,
  CTL_ALPHA_BUFFER = 23,
  CTL_ALPHA_INTENSITY = 24,
  CTL_ALPHA_INVERT = 25,
  CTL_PREVIEW_AREA = 26,
  CTL_PREVIEW_TYPE = 27,
};

// Panel geometry.
enum { PANEL_WIDTH = 384, PANEL_HEIGHT = 348 };

extern int32_t Lcount;        // rows of the surface list
extern int32_t bmx, mmx, mmc; // colour swatch throttle

const char *QXOptions(HostInstance instance);

// Control access through the host's typed value holders, shared by the panel
// and the preview. A control the host did not make is left alone and reads as
// 0.
void CtlDraw(HostControl *control, int mode);
void CtlSetInt(HostControl *control, int tag, intptr_t value);
void CtlSetFloat(HostControl *control, int tag, double value);
void CtlSetIVec(HostControl *control, int tag, int red, int green, int blue);
intptr_t CtlGetInt(HostControl *control);
int32_t CtlGetInt32(HostControl *control);
double CtlGetFloat(HostControl *control);
void CtlGetIVec(HostControl *control, int rgb[3]);

// The selected entry, or null when none is.
SBEntry *SelectedEntry(const FilterInstance *inst);

// Rebuilds the instance's entries from the scene's surfaces, keeping the stack
// and switch of every value still present. Returns 0, or -1 when the new array
// cannot be allocated (the old entries then stay as they were).
int RebuildEntries(FilterInstance *inst);

// List callbacks.
int countFunc(void *instance);
const char *nameFunc(void *instance, int row);
int SLcountFunc(void *instance);
const char *SLnameFunc(void *instance, int row);
int LayerCountFunc(void *instance);
const char *LayerNameFunc(void *instance, int row);

// Event handlers.
void listEvent(HostControl *control, void *instance);
void SLlistEvent(HostControl *control, void *instance);
void LayerlistEvent(HostControl *control, void *instance);
void But_Active(HostControl *control, void *instance);
void But_Copy(HostControl *control, void *instance);
void But_Pst(HostControl *control, void *instance);
void But_AddLayer(HostControl *control, void *instance);
void But_DelLayer(HostControl *control, void *instance);
void But_AllLayOn(HostControl *control, void *instance);
void But_AllLayOff(HostControl *control, void *instance);
void But_AllLayInv(HostControl *control, void *instance);
void But_Enabled(HostControl *control, void *instance);
void But_LayUp(HostControl *control, void *instance);
void But_LayDown(HostControl *control, void *instance);
void Pop_Ltype(HostControl *control, void *instance);
void ColorChg(HostControl *control, void *instance);
void Sli_int(HostControl *control, void *instance);
void Pop_type(HostControl *control, void *instance);
void Pop_effect(HostControl *control, void *instance);
void But_inv(HostControl *control, void *instance);
void Pop_Alpha(HostControl *control, void *instance);
void Sli_boost(HostControl *control, void *instance);
void But_alpinv(HostControl *control, void *instance);
void Pop_Pre(HostControl *control, void *instance);

#endif
