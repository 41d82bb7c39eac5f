// The filter instance of a run and what it does to a frame, with the
// colour's alpha around it.
#include "frames/frame_filter.h"

#include <cfloat>
#include <cstdio>

#if QX_WITH_EXR
#include <ImfThreading.h>
#endif

#include "base/error.h"
#include "frames/demo_scene.h"
#include "scene/state_check.h"

namespace qx {
namespace {

// Whether a pixel's colour is divided by its alpha and multiplied back: an
// alpha below the smallest normal float (negative ones and NaN included)
// counts as 0, since dividing by it gives infinite or NaN colour.
bool dividesByAlpha(float alpha) { return alpha >= FLT_MIN; }

} // namespace

void unpremultiply(Frame &frame) {
  const float *alpha = frame.plane(HOST_BUF_ALPHA);
  if (alpha == nullptr) return;
  for (int c = HOST_BUF_RED; c <= HOST_BUF_BLUE; ++c) {
    if (!frame.has(c)) continue;
    float *plane = frame.mutablePlane(c);
    for (std::size_t i = 0; i < frame.pixelCount(); ++i) {
      if (dividesByAlpha(alpha[i])) plane[i] /= alpha[i];
    }
  }
}

void premultiply(const Frame &in, Frame &out, bool straightOut) {
  const float *alpha = in.plane(HOST_BUF_ALPHA);
  const std::size_t count = out.pixelCount();
  float *planes[4] = {out.mutablePlane(HOST_BUF_RED), out.mutablePlane(HOST_BUF_GREEN),
                      out.mutablePlane(HOST_BUF_BLUE), out.mutablePlane(HOST_BUF_ALPHA)};
  const float *sources[4] = {in.plane(HOST_BUF_RED), in.plane(HOST_BUF_GREEN),
                             in.plane(HOST_BUF_BLUE), alpha};
  for (std::size_t i = 0; i < count; ++i) {
    if (alpha == nullptr || !dividesByAlpha(alpha[i])) {
      for (int c = 0; c < 4; ++c) planes[c][i] = sources[c] != nullptr ? sources[c][i] : 0.0f;
    } else if (!straightOut) {
      for (int c = 0; c < 3; ++c) planes[c][i] *= planes[3][i];
    }
  }
}

FrameFilter::FrameFilter(Host &host, const FrameReadOptions &frame, const FilterRunOptions &run)
    : frame_(frame), run_(run), instance_(host.makeInstance(host.makeFilter())) {
  // A refused state would render as if the scene had no stacks at all.
  reportStateRefusal(host, run.sceneName, run.refuseBadState,
                     "nothing rendered (--ignore-bad-state renders without the stored stacks)");
  mask_ = instance_.flags();
  entries_ = storedEntries(instance_.save());
  instance_.init(0);
}

FrameFilter::~FrameFilter() { instance_.cleanup(); }

std::bitset<kBufferSlots> FrameFilter::buffers() const {
  std::bitset<kBufferSlots> wanted = buffersFor(mask_);
  // The ids come from the layer's ranks, not from a channel.
  if (!frame_.cryptomatte.empty()) wanted.reset(0);
  return wanted;
}

void FrameFilter::begin(const InputHoldings &input, const std::string &name) {
  begin(input, name, nullptr);
}

void FrameFilter::begin(const InputHoldings &input, const std::string &name,
                        const CryptomatteLayer *layer) {
  checkFrameInput(frame_, buffers(), input, name, warned_);
  frameName_ = name;
  layer_.reset();
  if (layer != nullptr) layer_ = *layer;
  written_.clear();
  instance_.newTime(frameNumber_++, 0.0);
}

void FrameFilter::filter(Frame &in, Frame &colour, int firstRow,
                         const std::vector<std::vector<float>> *ranks) {
  if (frame_.premultiplied()) unpremultiply(in);
  RenderOptions options;
  options.threads = run_.threads;
  options.progress = nullptr;
  options.firstRow = firstRow;
  options.tally = &written_;
  const PixelEvaluator evaluate = [&](const HostPixelAccess &access) {
    instance_.evaluate(access);
  };
  if (!frame_.cryptomatte.empty()) {
    if (ranks == nullptr) throw Error(frameName_ + ": no Cryptomatte ranks were read");
    std::vector<RankPlanes> planes;
    for (std::size_t k = 0; k + 1 < ranks->size(); k += 2) {
      planes.push_back({(*ranks)[k].data(), (*ranks)[k + 1].data()});
    }
    renderCoverage(in, planes, colour, evaluate, options);
  } else {
    renderInto(in, colour, evaluate, options);
  }
  if (frame_.premultiplied()) premultiply(in, colour, run_.straightOut);
}

void FrameFilter::end() {
  for (const StoredEntry &entry : entries_) {
    const float value = static_cast<float>(entry.value);
    const auto found = written_.find(cryptomatteBits(value));
    const std::uint64_t pixels = found == written_.end() ? 0 : found->second;
    std::string label = exactText(entry.value);
    if (layer_) {
      if (const std::string *object = layer_->nameOf(cryptomatteBits(value))) {
        label += " (\"" + *object + "\")";
      }
    }
    if (frame_.verbose) {
      std::fprintf(stderr, "qxhost: %s: entry %s: %llu pixels written\n", frameName_.c_str(),
                   label.c_str(), static_cast<unsigned long long>(pixels));
    }
    if (pixels == 0 && entry.layers > 0 && static_cast<double>(value) == entry.value) {
      std::fprintf(stderr,
                   "qxhost: warning: %s: the stack of entry %s matched no pixel: the module "
                   "wrote none for that value\n",
                   frameName_.c_str(), label.c_str());
    }
  }
}

void renderPlaneFrame(const std::string &frame, const std::string &out,
                      const FrameReadOptions &read, const FrameOutputOptions &output,
                      FrameFilter &filter) {
  if (!read.cryptomatte.empty()) {
    throw Error(frame + ": --cryptomatte reads an OpenEXR frame's layer, not planes");
  }
#if QX_WITH_EXR
  // An EXR output is encoded on the run's threads.
  Imf::setGlobalThreadCount(static_cast<int>(filter.threads()));
#endif
  InputFrame input = readPlaneFolder(frame, read.map, read.maxPixels, read.maxBytes, 0);
  filter.begin(input.holdings, frame);
  noteSplitLinks(output, out);
  Frame colour;
  filter.filter(input.frame, colour, 0);
  filter.end();
  writeColour(out, output, colour);
}

Frame renderDemoFrame(const std::string &module, unsigned int threads) {
  DemoScene demo = makeDemoScene();
  Host host(demo.scene);
  host.loadModule(module);
  FrameReadOptions frame;
  FilterRunOptions run;
  run.threads = renderThreads(threads);
  run.sceneName = "the demo scene";
  FrameFilter filter(host, frame, run);
  InputHoldings all;
  all.held.set();
  filter.begin(all, "the demo frame");
  Frame before = demo.frame;
  Frame after;
  filter.filter(before, after, 0);
  return sideBySide(demo.frame, after);
}

} // namespace qx
