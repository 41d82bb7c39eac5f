// The options panel: construction, the three lists, the layer commands and the
// layer property controls.
#ifndef QX_MODULE_PANEL_H
#define QX_MODULE_PANEL_H

#include "controls.h"
#include "model.h"

// Panel geometry.
enum { PANEL_WIDTH = 384, PANEL_HEIGHT = 348 };

extern int32_t Lcount;        // rows of the surface list
extern int32_t bmx, mmx, mmc; // colour swatch throttle

const char *QXOptions(HostInstance instance);

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
