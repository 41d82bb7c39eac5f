// qxhost render: a frame or a sequence of frames through the filter of a
// scene, or, without arguments, the built-in demo before and after.
#include <ImfThreading.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "channel_map.h"
#include "command.h"
#include "demo_scene.h"
#include "error.h"
#include "exr_io.h"
#include "frame.h"
#include "image_io.h"
#include "renderer.h"
#include "safe_write.h"
#include "sequence.h"
#include "stand_in_host.h"

namespace qx::cli {
namespace {

constexpr char kDemoOutput[] = "quintessalux-demo.png";

// Every option of render, as given.
struct RenderArgs {
  std::string module;
  std::string scene;
  std::string frame;
  std::string out;
  unsigned int threads = 0;
  CLI::Option *threadsOption = nullptr;
  std::uint64_t maxPixels = kDefaultMaxPixels;
  bool ignoreBadState = false;
  // Channels.
  std::vector<std::string> ch;
  std::string chMap;
  bool allowMissing = false;
  std::string part;
  bool verbose = false;
  // Output.
  std::string keep = "all";
  bool half = false;
  bool forceFloat = false;
  std::string alpha = "straight";
  std::string pngTransfer = "linear";
  // Sequences.
  std::string frames;
  std::string task;
  bool stopOnError = false;
};

void addRenderOptions(CLI::App &command, RenderArgs &args) {
  command.add_option("--frame", args.frame,
                     "The frame to filter: an OpenEXR file (see README, Frames), a folder of .npy "
                     "planes given with a closing slash, or a "
                     "sequence's pattern with '####' or '%04d' for the frame number");
  command.add_option("--out", args.out,
                     "The output: .exr (every channel carried through), .png (8-bit RGBA), DIR/ "
                     "for .npy planes, or a pattern like --frame's");
  args.threadsOption =
      command.add_option("--threads", args.threads,
                         "Threads for decoding, filtering and encoding (default: one per core)");
  command.add_option("--ch", args.ch,
                     "Map host buffers to channels: BUFFER=CHANNEL,... or BUFFER=NUMBER for a "
                     "constant, e.g. SpecialBuffer=objectId,R=ViewLayer.Combined.R,Shadow=1.0");
  command.add_option("--ch-map", args.chMap,
                     "A JSON channel map {\"BUFFER\": \"CHANNEL\" or number}; --ch overrides it");
  command.add_flag("--allow-missing", args.allowMissing,
                   "A missing colour or special-buffer channel reads 0.0 (with a warning) "
                   "instead of being an error");
  command.add_option("--part", args.part,
                     "The part of a multi-part file, by name or number (default: each channel "
                     "is looked for in every part)");
  command.add_flag("--verbose", args.verbose,
                   "Say which channel and part each buffer is read from");
  command
      .add_option("--keep", args.keep,
                  "all: carry every channel through (default); rgba: write only R, G, B, A")
      ->check(CLI::IsMember({"all", "rgba"}));
  CLI::Option *half =
      command.add_flag("--half", args.half, "Write half and float channels as half");
  command.add_flag("--float", args.forceFloat, "Write half and float channels as float")
      ->excludes(half);
  command
      .add_option("--alpha", args.alpha,
                  "straight (default): the colour is filtered as it is; premultiplied: "
                  "divided by A before the filter and multiplied after, A = 0 untouched")
      ->check(CLI::IsMember({"straight", "premultiplied"}));
  command
      .add_option("--png-transfer", args.pngTransfer,
                  "linear (default): PNG bytes are trunc(v x 255), marked gamma 1.0; srgb: "
                  "the sRGB curve, with the sRGB chunk")
      ->check(CLI::IsMember({"linear", "srgb"}));
  command.add_option("--frames", args.frames,
                     "The frames of a sequence: A-B or A-BxSTEP (needs patterns in --frame "
                     "and --out)");
  command.add_option("--task", args.task,
                     "Render every N-th frame of --frames starting at the I-th: I/N, 1-based");
  command.add_flag("--stop-on-error", args.stopOnError,
                   "Stop a sequence at the first missing or damaged frame");
  command
      .add_option("--max-pixels", args.maxPixels,
                  "The largest frame to read, in pixels; a larger data window is refused before "
                  "anything is allocated")
      ->capture_default_str();
  command.add_flag("--ignore-bad-state", args.ignoreBadState,
                   "Render even when the module refuses the scene's filter.state (without the "
                   "stored stacks)");
}

// What every frame of one run shares, worked out from the arguments.
struct RenderSetup {
  ExrReadOptions read;
  ExrWriteOptions write;
  bool png = false;
  bool planesOut = false; // the output is a folder of .npy planes
  PngTransfer transfer = PngTransfer::Linear;
  bool premultiplied = false;
  bool allowMissing = false;
  bool verbose = false;
  unsigned int threads = 0;
  // The scene, for the message when the module refuses its stored state,
  // and whether that refusal ends the run.
  std::string sceneName;
  bool refuseBadState = true;
};

// The buffer's name for messages: its channel in the Frames table, or its
// number alone.
std::string bufferLabel(int buffer) {
  const char *channel = bufferChannelName(buffer);
  return channel != nullptr
             ? "\"" + std::string(channel) + "\" (buffer " + std::to_string(buffer) + ")"
             : "buffer " + std::to_string(buffer);
}

std::string joined(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "no channel at all" : text;
}

// What a frame's input holds, for the checks before it is filtered.
struct InputHoldings {
  std::function<bool(int buffer)> holds;
  std::vector<std::string> fileChannels;
  const std::array<ExrBufferSource, kBufferSlots> *sources = nullptr; // null: not an EXR file
};

// The filter instance of a run, made once, and what it does to each frame.
class FrameFilter {
public:
  FrameFilter(Host &host, const RenderSetup &setup)
      : setup_(setup), instance_(host.makeInstance(host.makeFilter())) {
    // A refused state would render as if the scene had no stacks at all.
    reportStateRefusal(host, setup.sceneName, setup.refuseBadState,
                       "nothing rendered (--ignore-bad-state renders without the stored stacks)");
    mask_ = instance_.flags();
    instance_.init(0);
  }
  ~FrameFilter() { instance_.cleanup(); }
  FrameFilter(const FrameFilter &) = delete;
  FrameFilter &operator=(const FrameFilter &) = delete;

  // The buffers to read: the mask's and the colour.
  std::bitset<kBufferSlots> buffers() const {
    std::bitset<kBufferSlots> wanted;
    for (int b = 0; b < 32; ++b) wanted.set(static_cast<std::size_t>(b), (mask_ & (1u << b)) != 0);
    for (int b = 32; b < 36; ++b) wanted.set(static_cast<std::size_t>(b));
    wanted.set(0);
    return wanted;
  }

  // Checks what a frame's input holds before its first row is filtered. A
  // missing colour or special-buffer channel is an Error naming the file's
  // channels (unless --allow-missing); any other missing buffer is named
  // once a run.
  void begin(const InputHoldings &input, const std::string &name) {
    check(input, name);
    instance_.newTime(frameNumber_++, 0.0);
  }

  // Renders the colour of a frame, or of a strip of one whose first row is
  // `firstRow`, into `colour`. Under --alpha premultiplied the input's
  // colour is made straight in place first.
  void filter(Frame &in, Frame &colour, int firstRow) {
    if (setup_.premultiplied) unpremultiply(in);
    RenderOptions options;
    options.threads = setup_.threads;
    options.progress = nullptr;
    options.firstRow = firstRow;
    renderInto(
        in, colour, [&](const HostPixelAccess &access) { instance_.evaluate(access); }, options);
    if (setup_.premultiplied) premultiply(in, colour);
  }

  // The demo's frame, which holds every buffer.
  Frame filter(const Frame &frame) {
    RenderOptions options;
    options.threads = setup_.threads;
    instance_.newTime(0, 0.0);
    return renderFrame(
        frame, [&](const HostPixelAccess &access) { instance_.evaluate(access); }, options);
  }

private:
  void check(const InputHoldings &input, const std::string &name) {
    std::vector<std::string> missing;
    const std::bitset<kBufferSlots> wanted = buffers();
    for (int b = 0; b < kBufferSlots; ++b) {
      if (!wanted.test(static_cast<std::size_t>(b)) || input.holds(b)) continue;
      const std::string &channel = setup_.read.map.source(b).channel;
      const bool essential = b == 0 || b >= 32;
      if (essential && !setup_.allowMissing) {
        missing.push_back("\"" + channel + "\"" +
                          (setup_.read.map.isMapped(b) ? " for " + bufferLabel(b) : ""));
        continue;
      }
      if (warned_.test(static_cast<std::size_t>(b))) continue;
      warned_.set(static_cast<std::size_t>(b));
      const std::string label = setup_.read.map.isMapped(b)
                                    ? "\"" + channel + "\" for " + bufferLabel(b)
                                    : bufferLabel(b);
      std::fprintf(stderr, "qxhost: warning: %s has no channel %s%s; it reads 0.0\n", name.c_str(),
                   label.c_str(), essential ? "" : ", which the filter asks for");
    }
    if (!missing.empty()) {
      throw Error(name + ": no channel " + joined(missing) + "; the file has " +
                  joined(input.fileChannels) +
                  " (map them with --ch or --ch-map, or give --allow-missing)");
    }
    if (setup_.verbose && input.sources != nullptr) {
      for (int b = 0; b < kBufferSlots; ++b) {
        const ExrBufferSource &source = (*input.sources)[static_cast<std::size_t>(b)];
        if (source.constant) {
          std::fprintf(stderr, "qxhost: %s: %s is the constant %g\n", name.c_str(),
                       bufferLabel(b).c_str(),
                       static_cast<double>(setup_.read.map.source(b).constant));
        } else if (source.part >= 0) {
          std::fprintf(stderr, "qxhost: %s: %s reads channel \"%s\" of part %d\n", name.c_str(),
                       bufferLabel(b).c_str(), source.channel.c_str(), source.part);
        }
      }
    }
  }

  // Straight colour for the filter: R, G and B divided by A where A is not 0.
  static void unpremultiply(Frame &frame) {
    const float *alpha = frame.plane(35);
    if (alpha == nullptr) return;
    for (int c = 32; c < 35; ++c) {
      if (!frame.has(c)) continue;
      float *plane = frame.mutablePlane(c);
      for (std::size_t i = 0; i < frame.pixelCount(); ++i) {
        if (alpha[i] != 0.0f) plane[i] /= alpha[i];
      }
    }
  }

  // Back to premultiplied: the filtered colour times its alpha, and a pixel
  // whose input A was 0 exactly as it came in. A PNG keeps straight colour.
  void premultiply(const Frame &in, Frame &out) const {
    const float *alpha = in.plane(35);
    const std::size_t count = out.pixelCount();
    float *planes[4] = {out.mutablePlane(32), out.mutablePlane(33), out.mutablePlane(34),
                        out.mutablePlane(35)};
    for (std::size_t i = 0; i < count; ++i) {
      if (alpha == nullptr || alpha[i] == 0.0f) {
        for (int c = 0; c < 4; ++c) {
          const float *source = in.plane(32 + c);
          planes[c][i] = source != nullptr ? source[i] : 0.0f;
        }
      } else if (!setup_.png) {
        for (int c = 0; c < 3; ++c) planes[c][i] *= planes[3][i];
      }
    }
  }

  const RenderSetup &setup_;
  PixelFilterInstance instance_;
  unsigned int mask_ = 0;
  int frameNumber_ = 0;
  std::bitset<kBufferSlots> warned_;
};

InputHoldings holdingsOf(const ExrInput &input) {
  return {[&input](int b) { return input.holds(b); }, input.fileChannels(), &input.sources()};
}

// An EXR output, written as the strips come.
class ExrSink : public FrameSink {
public:
  ExrSink(const std::string &path, const ExrInput &input, const ExrWriteOptions &options)
      : output_(path, input, options) {}
  void write(const ExrStrip &strip, const Frame &colour) override { output_.write(strip, colour); }
  void commit() override { output_.commit(); }

private:
  ExrOutput output_;
};

// A PNG or a folder of planes: the colour gathered whole, then written.
class WholeColourSink : public FrameSink {
public:
  WholeColourSink(const std::string &path, const RenderSetup &setup, int width, int height)
      : path_(path), setup_(setup), colour_(width, height) {}
  void write(const ExrStrip &strip, const Frame &colour) override {
    const std::size_t offset =
        static_cast<std::size_t>(strip.firstRow) * static_cast<std::size_t>(colour_.width());
    for (int c = 32; c < 36; ++c) {
      const float *rows = colour.plane(c);
      if (rows != nullptr)
        std::copy(rows, rows + colour.pixelCount(), colour_.mutablePlane(c) + offset);
    }
  }
  void commit() override { writeColour(path_, setup_, colour_); }

  static void writeColour(const std::string &path, const RenderSetup &setup, const Frame &colour) {
    if (setup.png) {
      writePng(path, colour, setup.transfer);
    } else if (setup.planesOut) {
      colour.writePlanes(path);
    } else { // no EXR header to carry through
      colour.writeExr(path);
    }
  }

private:
  std::string path_;
  const RenderSetup &setup_;
  Frame colour_;
};

RenderSetup makeSetup(const RenderArgs &args) {
  RenderSetup setup;
  if (!args.chMap.empty()) setup.read.map.addJsonFile(args.chMap);
  for (const std::string &text : args.ch) setup.read.map.addText(text, "render: --ch");
  setup.read.part = args.part;
  setup.read.maxPixels = args.maxPixels;
  setup.read.passThrough = args.keep == "all";
  setup.write.rgbaOnly = args.keep == "rgba";
  setup.write.type = args.half         ? ExrPixelChoice::Half
                     : args.forceFloat ? ExrPixelChoice::Float
                                       : ExrPixelChoice::Input;
  setup.write.attributes = {
      {"qxhost:module", std::filesystem::absolute(args.module).string()},
      {"qxhost:scene", std::filesystem::absolute(args.scene).string()},
      {"qxhost:version", "qxhost " QX_VERSION},
  };
  const ImageFormat format = imageFormatFor(args.out);
  setup.png = format == ImageFormat::Png;
  setup.planesOut = format == ImageFormat::Planes;
  setup.transfer = args.pngTransfer == "srgb" ? PngTransfer::Srgb : PngTransfer::Linear;
  setup.premultiplied = args.alpha == "premultiplied";
  setup.allowMissing = args.allowMissing;
  setup.verbose = args.verbose;
  setup.threads = renderThreads(args.threads);
  setup.sceneName = args.scene;
  setup.refuseBadState = !args.ignoreBadState;
  return setup;
}

int renderDemo(const RenderArgs &args) {
  DemoScene demo = makeDemoScene();
  Host host(demo.scene);
  host.loadModule(args.module);
  RenderSetup setup;
  setup.threads = renderThreads(args.threads);
  setup.sceneName = "the demo scene";
  const Frame after = FrameFilter(host, setup).filter(demo.frame);
  const PngTransfer transfer = args.pngTransfer == "srgb" ? PngTransfer::Srgb : PngTransfer::Linear;
  writePng(kDemoOutput, sideBySide(demo.frame, after), transfer);
  std::printf("%s\n", std::filesystem::absolute(kDemoOutput).string().c_str());
  return kExitOk;
}

// The stages of a run that reads EXR frames, filters them strip by strip
// and writes each as it comes.
SequenceStages exrStages(FrameFilter &filter, const RenderSetup &setup,
                         const ExrReadOptions &read) {
  SequenceStages stages;
  stages.open = [&read](const std::string &path) { return std::make_unique<ExrInput>(path, read); };
  stages.begin = [&filter](const ExrInput &input) {
    filter.begin(holdingsOf(input), input.name());
  };
  stages.filter = [&filter](const ExrInput &, ExrStrip &strip, Frame &colour) {
    filter.filter(strip.frame, colour, strip.firstRow);
  };
  stages.sink = [&setup](const std::string &path,
                         const ExrInput &input) -> std::unique_ptr<FrameSink> {
    if (setup.png || setup.planesOut) {
      return std::make_unique<WholeColourSink>(path, setup, input.width(), input.height());
    }
    return std::make_unique<ExrSink>(path, input, setup.write);
  };
  return stages;
}

// A folder of .npy planes in: read, filtered and written whole.
void renderPlanes(const RenderArgs &args, const RenderSetup &setup, FrameFilter &filter) {
  Frame frame = Frame::readPlanes(args.frame);
  InputHoldings holdings{[&frame](int b) { return frame.has(b); }, {}, nullptr};
  for (int b = 0; b < kBufferSlots; ++b) {
    if (frame.has(b) && bufferChannelName(b) != nullptr)
      holdings.fileChannels.push_back(bufferChannelName(b) + std::string(".npy"));
  }
  filter.begin(holdings, args.frame);
  Frame colour;
  filter.filter(frame, colour, 0);
  WholeColourSink::writeColour(args.out, setup, colour);
}

int renderSingle(const RenderArgs &args, const RenderSetup &setup, Host &host) {
  FrameFilter filter(host, setup);
  ExrReadOptions read = setup.read;
  read.buffers = filter.buffers();
  try {
    if (namesPlaneFolder(args.frame)) {
      renderPlanes(args, setup, filter);
      return kExitOk;
    }
    SequenceOptions options;
    options.frames = {{0, args.frame, args.out}};
    options.single = true;
    options.stopOnError = true;
    const SequenceResult result = runSequence(options, exrStages(filter, setup, read));
    if (result.failed > 0) throw Error(result.firstError);
  } catch (const std::bad_alloc &) {
    throw Error(args.out + ": out of memory while rendering " + args.frame);
  }
  return kExitOk;
}

int renderSequence(const RenderArgs &args, const RenderSetup &setup, Host &host) {
  if (args.frames.empty()) throw Error("render: a frame pattern needs --frames A-B");
  if (!isFramePattern(args.frame) || !isFramePattern(args.out)) {
    throw Error("render: --frames needs a pattern ('####' or '%04d') in both --frame and --out");
  }
  expandFramePattern(args.frame, 0); // one pattern each, checked before the work
  expandFramePattern(args.out, 0);
  std::vector<int> numbers = parseFrameRange(args.frames, "render: --frames");
  if (!args.task.empty()) numbers = taskFrames(numbers, args.task, "render: --task");
  SequenceOptions options;
  options.frames = sequenceFrames(args.frame, args.out, numbers);
  options.stopOnError = args.stopOnError;
  // No frame's output may be its own input (or the scene or the module),
  // checked for every frame before any is read.
  for (const SequenceFrame &frame : options.frames) {
    refuseOutputOverInput(
        {{"the output", frame.out}},
        {{"the scene", args.scene}, {"the frame", frame.in}, {"the module", args.module}});
  }

  FrameFilter filter(host, setup);
  ExrReadOptions read = setup.read;
  read.buffers = filter.buffers();
  const SequenceResult result = runSequence(options, exrStages(filter, setup, read));
  return result.failed > 0 || result.notRun > 0 ? kExitUserError : kExitOk;
}

int runRender(const RenderArgs &args) {
  if (args.threadsOption->count() > 0 && args.threads == 0) {
    throw Error("render: --threads must be at least 1");
  }
  const int given =
      (args.scene.empty() ? 0 : 1) + (args.frame.empty() ? 0 : 1) + (args.out.empty() ? 0 : 1);
  if (given == 0) return renderDemo(args);
  if (given != 3) {
    throw Error("render: --scene, --frame and --out go together (give none of them to render "
                "the built-in demo)");
  }
  if (!args.task.empty() && args.frames.empty()) throw Error("render: --task needs --frames");
  // Bad names and maps fail before the work, not after it.
  const RenderSetup setup = makeSetup(args);
  if (args.maxPixels == 0) throw Error("render: --max-pixels must be at least 1");
  Imf::setGlobalThreadCount(static_cast<int>(setup.threads));
  const bool sequence = !args.frames.empty() || isFramePattern(args.frame);
  if (!sequence) {
    refuseOutputOverInput(
        {{"the output", args.out}},
        {{"the scene", args.scene}, {"the frame", args.frame}, {"the module", args.module}});
  }

  Scene scene = loadScene(args.scene);
  Host host(std::move(scene));
  host.loadModule(args.module);
  return sequence ? renderSequence(args, setup, host) : renderSingle(args, setup, host);
}

} // namespace

Command addRenderCommand(CLI::App &parent) {
  CLI::App *command = parent.add_subcommand(
      "render", "Render a frame or a sequence through the filter of a scene; without "
                "arguments, render the built-in demo into " +
                    std::string(kDemoOutput));
  auto args = std::make_shared<RenderArgs>();
  addModuleOption(*command, args->module);
  addSceneOption(*command, args->scene);
  addRenderOptions(*command, *args);
  return {command, [args] { return runRender(*args); }};
}

} // namespace qx::cli
