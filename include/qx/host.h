/*
 * The host's plug-in interface, as the Quintessalux module sees it.
 *
 * This header is the whole boundary between a host application and a plug-in
 * module: the module descriptor the host reads first, the server activation,
 * the records of callbacks the module fills, the records the host hands to
 * those callbacks, and the global services the module looks up by name.
 * Everything is plain C. Handles are opaque. A host written from this header
 * alone can load the module; the module and the stand-in host include nothing
 * else of each other.
 *
 * Sizes: the module is built as a 32-bit library for the real host, where
 * every pointer and `int` is one 32-bit word; the stand-in host also loads it
 * as a 64-bit library, where pointers widen and nothing else changes.
 */
#ifndef QX_HOST_H
#define QX_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Opaque handles and common types                                           */
/* ------------------------------------------------------------------------ */

/* A filter instance, created and owned by the module, handed back by the host
 * to every instance callback. */
typedef void *HostInstance;

/* An error text returned by a callback: null means no error. */
typedef const char *HostError;

/* A scene item or surface, owned by the host. */
typedef void *HostItemID;
typedef void *HostSurfaceID;

/* An open panel, owned by the host. */
typedef void *HostPanelID;

/* The host's global-service lookup. Called with a service name and the use
 * mode 0; returns the service (a record, or a function for the services that
 * are a single function), or null when the host has no such service. It
 * carries no user data: a host keeps what it needs to answer in one place of
 * its own. */
typedef void *HostGlobalFunc(const char *serviceName, int useMode);

/* ------------------------------------------------------------------------ */
/* Module descriptor and servers                                             */
/* ------------------------------------------------------------------------ */

/* The three fixed words every module descriptor starts with. A host refuses a
 * library whose words differ. */
#define HOST_MODULE_SYNC 0x04121994u
#define HOST_MODULE_VERSION 3u
#define HOST_MODULE_MACHINE 0x300u

/* The plug-in interface version the activation functions accept. */
#define HOST_ACTIVATE_VERSION 4

/* Activation results. */
#define HOST_AFUNC_OK 0         /* the record is filled */
#define HOST_AFUNC_BADVERSION 1 /* the version is not supported; nothing filled */

/* A server's activation function, called by the host whenever it needs the
 * server: version, the global lookup, the host's record to fill for this
 * server class, and a word the module does not use. Returns HOST_AFUNC_*. */
typedef int HostActivateFunc(int version, HostGlobalFunc *global, void *local, void *serverData);

/* One row of the module's server table. The table ends with a row of four
 * null words. */
typedef struct HostServerRecord {
  const char *className;      /* host class, e.g. "PixelFilterHandler" */
  const char *name;           /* server name shown to the user */
  HostActivateFunc *activate; /* fills the host's record for the class */
  void *reserved;             /* always null */
} HostServerRecord;

/* The exported `_mod_descrip`: read by the host right after loading. */
typedef struct HostModuleDescriptor {
  uint32_t sync;             /* HOST_MODULE_SYNC */
  uint32_t version;          /* HOST_MODULE_VERSION */
  uint32_t machine;          /* HOST_MODULE_MACHINE */
  int (*startup)(void);      /* called once after loading; non-zero is success */
  void (*shutdown)(void);    /* called once before unloading */
  HostServerRecord *servers; /* the server table */
} HostModuleDescriptor;

/* Server classes of the pixel filter. */
#define HOST_CLASS_PIXEL_FILTER "PixelFilterHandler"
#define HOST_CLASS_PIXEL_FILTER_UI "PixelFilterInterface"

/* ------------------------------------------------------------------------ */
/* Records handed to instance callbacks                                      */
/* ------------------------------------------------------------------------ */

/* Host buffer numbers a pixel filter can read. Each holds one float per
 * pixel; the colour channels stand at RED to ALPHA, one after another. */
#define HOST_BUF_SPECIAL 0
#define HOST_BUF_LUMINOUS 1
#define HOST_BUF_DIFFUSE 2
#define HOST_BUF_SPECULAR 3
#define HOST_BUF_REFLECTIVE 4
#define HOST_BUF_TRANSPARENCY 5
#define HOST_BUF_SURF_RED 6
#define HOST_BUF_SURF_GREEN 7
#define HOST_BUF_SURF_BLUE 8
#define HOST_BUF_SHADING 9
#define HOST_BUF_SHADOW 10
#define HOST_BUF_GEOMETRY 11
#define HOST_BUF_DEPTH 12
#define HOST_BUF_DIFFUSE_SHADE 13
#define HOST_BUF_SPECULAR_SHADE 14
#define HOST_BUF_RED 32
#define HOST_BUF_GREEN 33
#define HOST_BUF_BLUE 34
#define HOST_BUF_ALPHA 35

/* Pixel access: one record per rendering thread, handed to evaluate for one
 * pixel at a time. Both operations receive the record itself, so a host needs
 * no per-thread state of its own to know which pixel is meant. */
typedef struct HostPixelAccess {
  int x, y; /* the pixel being evaluated, for information */
  /* Fills `out` with the pixel's values of buffers buffer .. buffer+count-1. */
  void (*getVal)(const struct HostPixelAccess *access, int buffer, int count, float *out);
  /* Sets the pixel's output red, green, blue, alpha. A pixel that is never
   * written keeps its rendered colour. */
  void (*setRGBA)(const struct HostPixelAccess *access, const float rgba[4]);
  void *hostData; /* the host's own */
} HostPixelAccess;

/* Save state: the instance's save callback writes its lines through it. */
typedef struct HostSaveState {
  void *writeData; /* the host's context, passed back to write */
  /* Stores `text`, a terminated line, as the next line of the scene. `length`
   * is the most the host keeps of it; a longer line is cut. */
  void (*write)(void *writeData, const char *text, int length);
} HostSaveState;

/* Load state: the instance's load callback reads its lines through it. */
typedef struct HostLoadState {
  void *readData; /* the host's context, passed back to read */
  /* Fills `buffer` (of `capacity` bytes, terminating zero included) with the
   * next stored line, cut to fit. Returns the length given, or -1 after the
   * last line, when the buffer holds the empty text. */
  int (*read)(void *readData, char *buffer, int capacity);
} HostLoadState;

/* ------------------------------------------------------------------------ */
/* Pixel filter records the activation functions fill                        */
/* ------------------------------------------------------------------------ */

/* Instance callbacks. The host owns `priv`; the module fills the rest. */
typedef struct HostInstanceFuncs {
  void *priv; /* the host's word; a module leaves it alone */
  /* Makes a new instance; null when it cannot. */
  HostInstance (*create)(void *priv, void *context, HostError *error);
  /* Releases an instance and everything it owns. */
  void (*destroy)(HostInstance instance);
  /* Makes `to` the same as `from`. Returns null, or an error text. Note the
   * order: the first instance is the source, the second the target. */
  HostError (*copy)(HostInstance from, HostInstance to);
  /* Restores the instance from the scene's stored lines. */
  HostError (*load)(HostInstance instance, const HostLoadState *state);
  /* Writes the instance's lines into the scene. */
  HostError (*save)(HostInstance instance, const HostSaveState *state);
  /* A one-line description of the instance, owned by the instance. */
  const char *(*descln)(HostInstance instance);
} HostInstanceFuncs;

/* Scene-item callbacks. */
typedef struct HostItemFuncs {
  /* The items the instance depends on, null-terminated, or null. */
  const HostItemID *(*useItems)(HostInstance instance);
  /* Items were renumbered: pairs of old and new IDs. */
  void (*changeID)(HostInstance instance, const HostItemID *ids);
} HostItemFuncs;

/* Rendering callbacks around a render pass. */
typedef struct HostRenderFuncs {
  HostError (*init)(HostInstance instance, int mode); /* before rendering */
  void (*cleanup)(HostInstance instance);             /* after rendering */
  /* A new frame is about to be rendered. */
  HostError (*newTime)(HostInstance instance, int frame, double time);
} HostRenderFuncs;

/* The record the "PixelFilterHandler" activation fills. The host provides the
 * three sub-records; the module fills their slots and the last two. */
typedef struct HostPixelFilterHandler {
  HostInstanceFuncs *inst;
  HostItemFuncs *item;
  HostRenderFuncs *rend;
  /* Called once per pixel, possibly on several threads at once for different
   * pixels with their own access records. */
  void (*evaluate)(HostInstance instance, const HostPixelAccess *access);
  /* Which buffers to render: bit n requests host buffer n. The colour
   * buffers RED..ALPHA are always available and need no bit. */
  unsigned int (*flags)(HostInstance instance);
} HostPixelFilterHandler;

/* The record the "PixelFilterInterface" activation fills. */
typedef struct HostPixelFilterInterface {
  HostInstance inst; /* the host's word; a module leaves it alone */
  void *panel;       /* a panel the host embeds; null for none */
  /* Opens the instance's options and returns when they are closed: null, or
   * an error text to show. */
  const char *(*options)(HostInstance instance);
  /* A command-line interface to the instance; null for none. */
  const char *(*command)(HostInstance instance, const char *command);
} HostPixelFilterInterface;

/* ------------------------------------------------------------------------ */
/* Global services                                                            */
/* ------------------------------------------------------------------------ */

/* "Surface Functions 2", and the older "Surface Functions" with the same
 * operations. Surfaces are walked in the host's order. */
#define HOST_SURFACE_FUNCS "Surface Functions 2"
#define HOST_SURFACE_FUNCS_1 "Surface Functions"
typedef struct HostSurfaceFuncs {
  HostSurfaceID (*first)(void);                 /* first surface, or null */
  HostSurfaceID (*next)(HostSurfaceID surface); /* following one, or null */
  const char *(*name)(HostSurfaceID surface);   /* owned by the host */
  /* A floating-point attribute: "SpecialBuffer1" (one double) or
   * "BaseColor" (red, green, blue). Null when the surface has none. */
  double *(*getFlt)(HostSurfaceID surface, const char *attribute);
} HostSurfaceFuncs;

/* "Info Messages 2": shows messages to the user. Each takes a text and an
 * optional second line (null for none). */
#define HOST_MESSAGE_FUNCS "Info Messages 2"
typedef struct HostMessageFuncs {
  void (*info)(const char *text, const char *detail);
  void (*error)(const char *text, const char *detail);
  void (*warning)(const char *text, const char *detail);
} HostMessageFuncs;

/* "File Request": the service is itself the function. Shows a file requester
 * titled `title`, starting from the pattern in `baseName` and the directory in
 * `path`; on acceptance writes the full name into `fullName` (and may update
 * `baseName` and `path`), each a buffer of `bufferLength` bytes. Non-zero when
 * a file was chosen, 0 when the user cancelled. */
#define HOST_FILE_REQUEST "File Request"
typedef int HostFileRequestFunc(const char *title, char *baseName, char *path, char *fullName,
                                int bufferLength);

/* "Directory Info": the service is itself the function. Given a directory
 * kind such as "Content", returns its text, or null. */
#define HOST_DIRECTORY_INFO "Directory Info"
typedef const char *HostDirectoryFunc(const char *kind);

/* "Color Picker": the service is itself the function, called with
 * HOST_COLOR_PICK_VERSION and a request. Returns 0 when the call completed;
 * the request's `result` then tells whether a colour was accepted. */
#define HOST_COLOR_PICKER "Color Picker"
#define HOST_COLOR_PICK_VERSION 4
/* Called by the picker while the user tries colours; may do nothing. */
typedef void HostColorPickHotFunc(void *data, float red, float green, float blue);
typedef struct HostColorPickRequest {
  int result;             /* written by the picker: > 0 accepted, else cancelled */
  const char *title;      /* the picker's title */
  float red, green, blue; /* shown first; the chosen colour on acceptance */
  void *data;             /* passed back to hotFunc */
  HostColorPickHotFunc *hotFunc;
} HostColorPickRequest;
typedef int HostColorPickFunc(int version, HostColorPickRequest *request);

/* ------------------------------------------------------------------------ */
/* Panels: "LWPanelServices"                                                 */
/* ------------------------------------------------------------------------ */

#define HOST_PANEL_SERVICES "LWPanelServices"

/* Typed value holders travel through the control and panel get/set
 * operations. The first word of every holder is its type tag. */
#define HOST_VALUE_INT 2   /* integers, list rows, popups, pointers */
#define HOST_VALUE_FLOAT 3 /* doubles, percent controls */
#define HOST_VALUE_IVEC 5  /* three integers, the colour swatch */

/* One integer. Wide enough to carry a pointer, for the event-handler and
 * user-data tags. */
typedef struct HostIntValue {
  int type; /* HOST_VALUE_INT */
  intptr_t value;
} HostIntValue;

typedef struct HostFloatValue {
  int type; /* HOST_VALUE_FLOAT */
  double value;
} HostFloatValue;

typedef struct HostIVecValue {
  int type; /* HOST_VALUE_IVEC */
  int value[3];
} HostIVecValue;

typedef union HostValue {
  int type;
  HostIntValue intv;
  HostFloatValue flt;
  HostIVecValue ivec;
} HostValue;

/* Control tags, for a control's get and set. */
#define HOST_CTL_X 0         /* x position in the panel */
#define HOST_CTL_Y 1         /* y position in the panel */
#define HOST_CTL_W 2         /* width, read only */
#define HOST_CTL_H 3         /* height, read only */
#define HOST_CTL_VALUE 4     /* the control's value */
#define HOST_CTL_HOTX 5      /* x of the control's drawing region, read only */
#define HOST_CTL_HOTY 6      /* y of the control's drawing region, read only */
#define HOST_CTL_MOUSEX 10   /* the pointer's x over the control at the event */
#define HOST_CTL_EVENT 14    /* the event handler, HostCtlEventFunc */
#define HOST_CTL_USERDATA 16 /* user data for the handler and list callbacks */

/* Panel attribute tags, for the panel's set. Tags 0 to 3 take a pointer to
 * an int; DRAWFUNC and USERDATA take the callback or pointer itself. */
#define HOST_PAN_X 0
#define HOST_PAN_Y 1
#define HOST_PAN_W 2
#define HOST_PAN_H 3
#define HOST_PAN_DRAWFUNC 7  /* HostPanDrawFunc */
#define HOST_PAN_USERDATA 12 /* handed to the draw callback */

/* Draw modes for a control's draw. */
#define HOST_DRAW_ERASE 0   /* remove the control from view */
#define HOST_DRAW_RENDER 1  /* show it live */
#define HOST_DRAW_GHOST 2   /* show it disabled */
#define HOST_DRAW_REFRESH 3 /* redraw its contents, e.g. a list's rows */

/* Flags for a panel's open. */
#define HOST_PANF_BLOCKING 1 /* return only when the user closed the panel */

/* Control kinds, by name, for addControl. */
#define HOST_KIND_LISTBOX "ListBoxControl"
#define HOST_KIND_BOOL "BoolControl"
#define HOST_KIND_BUTTON "ButtonControl"
#define HOST_KIND_POPUP "PopupControl"
#define HOST_KIND_MINIRGB "MiniRGBControl"
#define HOST_KIND_PERCENT "PercentControl"
#define HOST_KIND_AREA "AreaControl"

/* Descriptor tags: the first word of a control's creation parameters, which
 * tells the layout of the rest. */
#define HOST_DESC_IVEC 5   /* colour swatch: no more words */
#define HOST_DESC_BOOL 8   /* check box: no more words */
#define HOST_DESC_CHOICE 9 /* popup: item list and width */
#define HOST_DESC_RANGE 15 /* percent control: minimum and maximum */
#define HOST_DESC_LIST 18  /* list box: width, rows, count and name callbacks */
#define HOST_DESC_AREA 19  /* button (width, 0) or area (width, height) */

/* List callbacks: the row count, and the text of a row (owned by the
 * module, valid until the same callback runs again). */
typedef int HostListCountFunc(void *userData);
typedef const char *HostListNameFunc(void *userData, int row);

/* Creation parameters of a control, by descriptor tag. */
typedef union HostCtlDesc {
  int type;
  struct {
    int type; /* HOST_DESC_LIST */
    int width;
    int visibleRows;
    HostListCountFunc *count;
    HostListNameFunc *name;
  } list;
  struct {
    int type; /* HOST_DESC_AREA */
    int width;
    int height; /* 0 for a button */
  } area;
  struct {
    int type;           /* HOST_DESC_CHOICE */
    const char **items; /* ends with a null entry */
    int width;
  } choice;
  struct {
    int type; /* HOST_DESC_RANGE */
    int min;
    int max;
  } range;
} HostCtlDesc;

/* A control, made by the panel's addControl and owned by the host. */
typedef struct HostControl HostControl;
struct HostControl {
  /* Draws the control in one of the HOST_DRAW_* modes. */
  void (*draw)(HostControl *control, int mode);
  /* Reads the value of a HOST_CTL_* tag into a holder. */
  void (*get)(HostControl *control, int tag, HostValue *value);
  /* Sets the value of a HOST_CTL_* tag from a holder. */
  void (*set)(HostControl *control, int tag, HostValue *value);
  void *priv; /* the host's own */
};

/* An event handler: the control that fired and its user data. */
typedef void HostCtlEventFunc(HostControl *control, void *userData);

/* A panel's draw callback: the panel and the panel's user data. */
typedef void HostPanDrawFunc(HostPanelID panel, void *userData);

/* The display the panel opens on. */
typedef struct HostDisplayMetrics {
  int width, height;           /* in pixels */
  int pixelWidth, pixelHeight; /* aspect of one pixel */
  int maxColors;
} HostDisplayMetrics;

/* Drawing onto an open panel, in panel coordinates. */
typedef struct HostDrawFuncs {
  /* Sets one pixel; red, green, blue are 0 to 255. */
  void (*drawRGBPixel)(HostPanelID panel, int red, int green, int blue, int x, int y);
  /* Fills a rectangle with one colour. */
  void (*drawRGBBox)(HostPanelID panel, int red, int green, int blue, int x, int y, int width,
                     int height);
  /* Draws a border frame; with a width or height of 0, a straight line. */
  void (*drawBorder)(HostPanelID panel, int indent, int x, int y, int width, int height);
  /* The display's metrics; the first two fields are its size. */
  const HostDisplayMetrics *(*dispMetrics)(void);
} HostDrawFuncs;

/* The panel services record. */
typedef struct HostPanelFuncs {
  /* Makes a panel titled `title`, or null. */
  HostPanelID (*create)(const char *title, struct HostPanelFuncs *services);
  /* Releases the panel and its controls. */
  void (*destroy)(HostPanelID panel);
  /* Shows the panel; with HOST_PANF_BLOCKING returns only once the user has
   * closed it. Returns 1 when the panel was shown. */
  int (*open)(HostPanelID panel, int flags);
  /* Closes an open panel, e.g. from a handler. */
  void (*close)(HostPanelID panel);
  /* Reads and sets panel attributes (HOST_PAN_*). */
  void (*get)(HostPanelID panel, int tag, void *value);
  void (*set)(HostPanelID panel, int tag, void *value);
  /* Adds a control of a HOST_KIND_* kind with its creation parameters and
   * label. Returns the control, or null. */
  HostControl *(*addControl)(HostPanelID panel, const char *kind, HostCtlDesc *desc,
                             const char *label);
  HostDrawFuncs *drawFuncs;
} HostPanelFuncs;

#ifdef __cplusplus
}
#endif

#endif /* QX_HOST_H */
