// The options panel's controls as every part of the panel reaches them: their
// numbers, values through the host's typed holders, and whether they are live.
#ifndef QX_MODULE_CONTROLS_H
#define QX_MODULE_CONTROLS_H

#include <stdint.h>

#include "model.h"

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

// Control access through the host's typed value holders. A control the host
// did not make (null) is left alone and reads as 0.
void CtlDraw(HostControl *control, int mode);
void CtlSetInt(HostControl *control, int tag, intptr_t value);
void CtlSetFloat(HostControl *control, int tag, double value);
void CtlSetIVec(HostControl *control, int tag, int red, int green, int blue);
// An integer tag of a control: its value, position or pointer position.
intptr_t CtlGetTag(HostControl *control, int tag);
intptr_t CtlGetInt(HostControl *control); // the value (HOST_CTL_VALUE)
int32_t CtlGetInt32(HostControl *control);
double CtlGetFloat(HostControl *control);
void CtlGetIVec(HostControl *control, int rgb[3]);

// A live control is drawn normally and its handler acts; a ghosted one is
// drawn disabled and its handler ignores events. Refreshing a list redraws
// its rows.
void CtlLive(FilterInstance *inst, int number);
void CtlGhost(FilterInstance *inst, int number);
void CtlLiveIf(FilterInstance *inst, int number, bool live);
void CtlRefresh(FilterInstance *inst, int number);

// The selected entry, or null when none is.
SBEntry *SelectedEntry(const FilterInstance *inst);

#endif
