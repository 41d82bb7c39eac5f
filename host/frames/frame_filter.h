// The filter instance of a run, made once, and what it does to each frame:
// the check of what the frame holds, the colour's alpha around the filter,
// the pass itself (or the soft-edge pass of a Cryptomatte layer), and what
// it wrote for each stored entry.
#pragma once

#include <bitset>
#include <optional>
#include <string>
#include <vector>

#include "frames/frame.h"
#include "frames/frame_input.h"
#include "frames/frame_output.h"
#include "frames/renderer.h"
#include "scene/cryptomatte.h"
#include "scene/state_check.h"
#include "stand_in/stand_in_host.h"

namespace qx {

// What a run's filter needs besides its frames' options.
struct FilterRunOptions {
  // Threads the pass runs on (renderThreads()).
  unsigned int threads = 0;
  // The scene, for the message when the module refuses its stored state,
  // and whether that refusal ends the run.
  std::string sceneName;
  bool refuseBadState = true;
  // The output keeps straight colour (a PNG): under premultiplied alpha only
  // the pixels of alpha 0 are put back.
  bool straightOut = false;
};

// Straight colour for the filter: R, G and B divided by A where A is at
// least the smallest normal float (FLT_MIN); a smaller alpha, negative ones
// included, counts as 0 and leaves the pixel as it is.
void unpremultiply(Frame &frame);
// Back to premultiplied after the filter: the filtered colour `out` times
// its alpha, and a pixel whose input A counts as 0 (see unpremultiply)
// exactly as it came in. With `straightOut` (a PNG keeps straight colour)
// only those pixels are put back.
void premultiply(const Frame &in, Frame &out, bool straightOut);

// The filter instance of a run, made once, and what it does to each frame.
// It keeps references to `frame` and `run`, which must outlive it.
class FrameFilter {
public:
  // Throws Error when the module refuses the scene's stored state and `run`
  // says that ends the run.
  FrameFilter(Host &host, const FrameReadOptions &frame, const FilterRunOptions &run);
  ~FrameFilter();
  FrameFilter(const FrameFilter &) = delete;
  FrameFilter &operator=(const FrameFilter &) = delete;

  // The buffers to read: the mask's and the colour.
  std::bitset<kBufferSlots> buffers() const;
  // The threads the pass runs on.
  unsigned int threads() const { return run_.threads; }

  // Checks what a frame's input holds before its first row is filtered
  // (checkFrameInput; a missing buffer is named once a run), and tells the
  // instance of the next frame.
  void begin(const InputHoldings &input, const std::string &name);

  // The same with the frame's Cryptomatte layer (under a layer), whose
  // manifest names objects in what end() reports.
  void begin(const InputHoldings &input, const std::string &name, const CryptomatteLayer *layer);

  // Renders the colour of a frame, or of a strip of one whose first row is
  // `firstRow`, into `colour`. Under premultiplied alpha the input's colour
  // is made straight in place first. Under a Cryptomatte layer, `ranks`
  // holds the layer's rank planes (id, coverage, id, coverage, ...) and each
  // pixel gets the soft edges of renderCoverage.
  void filter(Frame &in, Frame &colour, int firstRow,
              const std::vector<std::vector<float>> *ranks = nullptr);

  // After a frame's last strip: names on stderr each stored entry holding a
  // stack for whose value the module wrote no pixel of the frame; with
  // verbose, every entry's pixels written.
  void end();

private:
  const FrameReadOptions &frame_;
  const FilterRunOptions &run_;
  PixelFilterInstance instance_;
  unsigned int mask_ = 0;
  int frameNumber_ = 0;
  std::bitset<kBufferSlots> warned_;
  std::vector<StoredEntry> entries_; // of the instance's saved state
  std::string frameName_;
  std::optional<CryptomatteLayer> layer_;
  WriteTally written_;
};

// A frame given as a folder of .npy planes: read, filtered and written whole
// into `out`. Throws Error naming the folder, which holds no Cryptomatte
// layer to take ids from.
void renderPlaneFrame(const std::string &frame, const std::string &out,
                      const FrameReadOptions &read, const FrameOutputOptions &output,
                      FrameFilter &filter);

// The built-in demo's frame before | after the module at `module` filtered
// it with the demo scene, on `threads` (0: one per core).
Frame renderDemoFrame(const std::string &module, unsigned int threads);

} // namespace qx
