// Host binding: the module descriptor, server activation, the filter instance
// with its special-buffer entries, and the buffers the filter asks the host for.
#ifndef QX_MODULE_MODULE_H
#define QX_MODULE_MODULE_H

#include <stdint.h>

#include "qx/host.h"

struct Layer;

enum {
  SB_MAX_ENTRIES = 256, // most distinct special-buffer values collected
  CTL_COUNT = 28,       // controls of the options panel
  DESC_LEN = 128,       // description text
  FILE_TEXT_LEN = 260,  // file requester buffers
};

// One distinct special-buffer value and the layer stack applied to it.
struct SBEntry {
  double value; // the special-buffer value, matched exactly
  int16_t on;   // 1: applied and listed "*"; 0: off, listed "-"
  Layer *head;  // first layer of the stack, null when empty
};

// The layer clipboard of the panel: a layer's properties but its type and
// whether it is active.
struct LayerClip {
  int8_t valid; // 1 once a layer has been copied
  uint8_t color[3];
  double intensity;
  int32_t mode;
  int32_t inBuffer;
  int8_t invert;
  int32_t alphaBuffer;
  double alphaIntensity;
  int8_t alphaInvert;
};

// One use of the filter in a scene. The description stands first, so that the
// instance's address is also its description text.
struct FilterInstance {
  char description[DESC_LEN];
  // Panel state, meaningful while the options panel is open.
  HostPanelFuncs *panelFuncs;
  HostPanelID panel;
  HostControl *ctl[CTL_COUNT];
  int8_t ctlOn[CTL_COUNT];
  Layer *curLayer;
  int32_t curEntry; // selected entry, -1 for none
  // The special-buffer entries; the instance owns the array and the stacks.
  int32_t entryCount;
  SBEntry *entries;
  LayerClip clip;
  int32_t layerCount; // rows of the layer list
  int32_t curLayerNo; // selected row of the layer list, -1 for none
  // The row of the layer list whose text was given last: `rowLayer` stood at
  // row `rowNo` of the stack headed by `rowHead` while the stacks were at
  // change `rowChange` (see StacksChanged in layers.h). Lets the host read
  // the rows in order without a walk from the head for each.
  const Layer *rowLayer;
  const Layer *rowHead;
  int32_t rowNo;
  uint64_t rowChange;
  const char **surfNames; // surfaces of the selected entry; texts are the host's
  float (*surfColors)[3]; // their base colours
  float baseColor[3];     // base colour of the preview
  int32_t previewType;    // 0 "Ball", 1 "Cel-Look Ball", 2 "Shadow"
};

// Module-wide values.
extern HostGlobalFunc *global_func; // the host's lookup, null until activated
// The instance whose options panel is open, null while none is. The buffer
// list's row count and the requester's texts below belong to it then, and
// other instances being made, loaded, copied or destroyed leave them alone.
extern FilterInstance *PanelOwner;
extern int32_t Bcount;            // rows of the buffer list
extern char Fnode[FILE_TEXT_LEN]; // full name the file requester returned
extern char Fpath[FILE_TEXT_LEN]; // directory of the file requester
extern char Fname[FILE_TEXT_LEN]; // base-name field of the file requester

// Buffer index 0 to 12 of a layer's input or alpha buffer.
enum {
  BUF_NONE = 0,
  BUF_ALPHA,
  BUF_LUMINOUS,
  BUF_DIFFUSE,
  BUF_SPECULAR,
  BUF_REFLECTIVE,
  BUF_TRANSPARENCY,
  BUF_SHADING,
  BUF_DIFFUSE_SHADE,
  BUF_SPECULAR_SHADE,
  BUF_SHADOW,
  BUF_GEOMETRY,
  BUF_DEPTH,
  BUF_INDEX_COUNT
};

// Host buffer number of each buffer index.
extern const int32_t FlagTbl[BUF_INDEX_COUNT];
// The buffer names in index order, ended by null: the items of the buffer
// popups.
extern const char *BufferNames[BUF_INDEX_COUNT + 1];

// The requirement bits of the "AmbientLight" mode.
enum : uint32_t { AMBIENT_FLAGS = 0x41E6u };

// Whether a stored buffer index can be looked up in FlagTbl. Indices outside
// 0 to 12 can only come from damaged stored data; they read as "None".
inline bool BufferIndexValid(int32_t index) { return index >= 0 && index < BUF_INDEX_COUNT; }

// A stored number of a list of `count` items as it is, or `outside` when it
// is none of them (which only damaged stored data holds).
inline int32_t InListOr(int32_t value, int32_t count, int32_t outside) {
  return value >= 0 && value < count ? value : outside;
}

// Host services, looked up through global_func; null when missing.
void *HostService(const char *name);
const HostSurfaceFuncs *SurfaceService(); // "Surface Functions 2", else "Surface Functions"
void ShowInfo(const char *text);          // through "Info Messages 2", if present

int32_t MakeSBList(double values[SB_MAX_ENTRIES]);

// Whether the instance can take `more` layers and still hold no more in all
// its entries together than a scene state may (SCENE_MAX_LAYERS). Entries
// that a save leaves out count as well, so that whatever is saved loads. The
// count walks the stacks but stops past the limit: at most SCENE_MAX_LAYERS
// steps, less than the preview redraw that follows every added layer.
bool RoomForLayers(const FilterInstance *inst, int32_t more);

// Instance callbacks.
HostInstance QXCreate(void *priv, void *context, HostError *error);
void QXDestroy(HostInstance instance);
HostError QXCopy(HostInstance first, HostInstance second);
const char *QXDescribe(HostInstance instance);
const HostItemID *QXUseItems(HostInstance instance);
void QXChangeID(HostInstance instance, const HostItemID *ids);
HostError QXInit(HostInstance instance, int mode);
void QXCleanup(HostInstance instance);
HostError QXNewTime(HostInstance instance, int frame, double time);
unsigned int QXFlags(HostInstance instance);

// Module entry and activation.
extern "C" {
int Startup(void);
void Shutdown(void);
int QXHandler(int version, HostGlobalFunc *global, void *local, void *serverData);
int QXInterface(int version, HostGlobalFunc *global, void *local, void *serverData);
}

#endif
