// The preview and drawing: the stored preview images and their tables, the
// preview rendering, the control-state refresh and colour picking.
#ifndef QX_MODULE_PREVIEW_H
#define QX_MODULE_PREVIEW_H

#include <stdint.h>

#include "model.h"

enum {
  PREVIEW_SIZE = 64, // the stored images are PREVIEW_SIZE squared bytes
  PREVIEW_PIXELS = PREVIEW_SIZE * PREVIEW_SIZE,
  PREVIEW_TYPES = 3, // "Ball", "Cel-Look Ball", "Shadow"
  PREVIEW_SHADOW = 2,
  PREVIEW_AREA_W = 96,
  PREVIEW_AREA_H = 80,
  PREVIEW_RESULT_DX = 32, // the result ball's offset from the base ball
  PREVIEW_RESULT_DY = 16,
};

// The seven stored images (preview_images.cpp, generated).
extern const uint8_t alp_pix[PREVIEW_PIXELS];
extern const uint8_t pre_pix[PREVIEW_PIXELS];
extern const uint8_t dif_pix[PREVIEW_PIXELS];
extern const uint8_t spc_pix[PREVIEW_PIXELS];
extern const uint8_t geom_pix[PREVIEW_PIXELS];
extern const uint8_t depth_pix[PREVIEW_PIXELS];
extern const uint8_t cel_pix[PREVIEW_PIXELS];

// Role tables, indexed by preview type; an entry is an image or null.
extern const uint8_t *const PreBase_pix[PREVIEW_TYPES];
extern const uint8_t *const PreBase_spc[PREVIEW_TYPES];
extern const uint8_t *const PreBase_shd[PREVIEW_TYPES];
extern const uint8_t *const prebuf_normal[BUF_INDEX_COUNT];
extern const uint8_t *const prebuf_cel[BUF_INDEX_COUNT];
extern const uint8_t *const prebuf_shadow[BUF_INDEX_COUNT];
extern const uint8_t *const *const prebuf_tbl[PREVIEW_TYPES];
extern const float predif_tbl[PREVIEW_TYPES];

// Preview rendering.
void redraw(HostPanelID panel, void *instance);
void Preview_Redraw(FilterInstance *instance);
void PreBase_Redraw(FilterInstance *instance);
void PreAns_Redraw(FilterInstance *instance);

// Control-state refresh.
void CtrlRedraw_G(FilterInstance *instance);
void CtrlRedraw_L(FilterInstance *instance);
void CtrlRedraw(FilterInstance *instance);
// Makes the five controls that only modes other than "AmbientLight" read
// ("Input Buffer", "Invert", "AlphaBuffer", "AlphaIntensity", "AlphaInvert")
// live or ghosted, in that order.
void SwitchBufferControls(FilterInstance *instance, bool live);

// Colour picking.
void ColPickMain(FilterInstance *instance, const char *title, float colour[3]);
void colorcb(void *data, float red, float green, float blue);
void But_Col(HostControl *control, void *instance);
void Area_Col(HostControl *control, void *instance);

#endif
