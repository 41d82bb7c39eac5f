// The options panel's controls: values through the host's typed holders, and
// the live and ghosted states that the handlers go by.
#include "controls.h"

void CtlSetInt(HostControl *control, int tag, intptr_t value) {
  if (control == nullptr) return;
  HostValue holder;
  holder.intv.type = HOST_VALUE_INT;
  holder.intv.value = value;
  control->set(control, tag, &holder);
}

void CtlSetFloat(HostControl *control, int tag, double value) {
  if (control == nullptr) return;
  HostValue holder;
  holder.flt.type = HOST_VALUE_FLOAT;
  holder.flt.value = value;
  control->set(control, tag, &holder);
}

void CtlSetIVec(HostControl *control, int tag, int red, int green, int blue) {
  if (control == nullptr) return;
  HostValue holder;
  holder.ivec.type = HOST_VALUE_IVEC;
  holder.ivec.value[0] = red;
  holder.ivec.value[1] = green;
  holder.ivec.value[2] = blue;
  control->set(control, tag, &holder);
}

void CtlDraw(HostControl *control, int mode) {
  if (control != nullptr) control->draw(control, mode);
}

intptr_t CtlGetTag(HostControl *control, int tag) {
  HostValue holder;
  holder.intv.type = HOST_VALUE_INT;
  holder.intv.value = 0;
  if (control != nullptr) control->get(control, tag, &holder);
  return holder.intv.value;
}

intptr_t CtlGetInt(HostControl *control) { return CtlGetTag(control, HOST_CTL_VALUE); }

int32_t CtlGetInt32(HostControl *control) { return static_cast<int32_t>(CtlGetInt(control)); }

double CtlGetFloat(HostControl *control) {
  HostValue holder;
  holder.flt.type = HOST_VALUE_FLOAT;
  holder.flt.value = 0.0;
  if (control != nullptr) control->get(control, HOST_CTL_VALUE, &holder);
  return holder.flt.value;
}

void CtlGetIVec(HostControl *control, int rgb[3]) {
  HostValue holder;
  holder.ivec.type = HOST_VALUE_IVEC;
  holder.ivec.value[0] = holder.ivec.value[1] = holder.ivec.value[2] = 0;
  if (control != nullptr) control->get(control, HOST_CTL_VALUE, &holder);
  for (int c = 0; c < 3; ++c) rgb[c] = holder.ivec.value[c];
}

void CtlLive(FilterInstance *inst, int number) {
  CtlDraw(inst->ctl[number], HOST_DRAW_RENDER);
  inst->ctlOn[number] = 1;
}

void CtlGhost(FilterInstance *inst, int number) {
  CtlDraw(inst->ctl[number], HOST_DRAW_GHOST);
  inst->ctlOn[number] = 0;
}

void CtlLiveIf(FilterInstance *inst, int number, bool live) {
  if (live)
    CtlLive(inst, number);
  else
    CtlGhost(inst, number);
}

void CtlRefresh(FilterInstance *inst, int number) { CtlDraw(inst->ctl[number], HOST_DRAW_REFRESH); }

SBEntry *SelectedEntry(const FilterInstance *inst) {
  if (inst->curEntry < 0 || inst->curEntry >= inst->entryCount) return nullptr;
  return &inst->entries[inst->curEntry];
}
