// qxhost render's core, shared by both builds, and the frame input render
// and edit share.
#include "render_frame.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "demo_scene.h"
#include "error.h"
#include "memory_plan.h"
#include "npy.h"
#if QX_WITH_EXR
#include "exr_io.h"
#endif

namespace qx::cli {
namespace {

std::string joined(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "no channel at all" : text;
}

// The buffer's name for messages: its channel in the Frames table, or its
// number alone.
std::string bufferLabel(int buffer) {
  const char *channel = bufferChannelName(buffer);
  return channel != nullptr
             ? "\"" + std::string(channel) + "\" (buffer " + std::to_string(buffer) + ")"
             : "buffer " + std::to_string(buffer);
}

} // namespace

void addFrameInputOptions(CLI::App &command, FrameInputArgs &args) {
  command.add_flag("--allow-missing", args.allowMissing,
                   "A missing colour or special-buffer channel reads 0.0 (with a warning) "
                   "instead of being an error");
  command
      .add_option("--alpha", args.alpha,
                  "straight (default): the colour is filtered as it is; premultiplied: "
                  "divided by A before the filter and multiplied after, A = 0 untouched")
      ->check(CLI::IsMember({"straight", "premultiplied"}));
  command
      .add_option("--max-pixels", args.maxPixels,
                  "The largest frame to read, in pixels; a larger data window is refused before "
                  "anything is allocated")
      ->capture_default_str();
  command
      .add_option("--max-memory", args.maxMemory,
                  "The most memory a frame may take: bytes, or K, M, G with or without iB (e.g. "
                  "512M); strips and decoding threads are reduced to fit, and a frame that "
                  "cannot fit is refused before its pixels are read")
      ->capture_default_str();
}

void addThreadsOption(CLI::App &command, unsigned int &threads, const std::string &help) {
  command.add_option("--threads", threads, help + " (1 to " + std::to_string(kMaxThreads) + ")")
      ->check(CLI::Range(1u, kMaxThreads));
}

void addChannelOptions(CLI::App &command, FrameInputArgs &args) {
  args.hasChannelOptions = true;
  command.add_option("--ch", args.ch,
                     "Map host buffers to channels: BUFFER=CHANNEL,... or BUFFER=NUMBER for a "
                     "constant, e.g. SpecialBuffer=objectId,R=ViewLayer.Combined.R,Shadow=1.0");
  command.add_option("--ch-map", args.chMap,
                     "A JSON channel map {\"BUFFER\": \"CHANNEL\" or number}; --ch overrides it");
  command.add_option("--part", args.part,
                     "The part of a multi-part file, by name or number (default: each channel "
                     "is looked for in every part)");
  command.add_flag("--verbose", args.verbose,
                   "Say which channel and part each buffer is read from");
}

void checkFrameInputArgs(const FrameInputArgs &args, const std::string &command) {
  if (args.maxPixels == 0) throw Error(command + ": --max-pixels must be at least 1");
  maxMemoryOf(args, command);
}

std::uint64_t maxMemoryOf(const FrameInputArgs &args, const std::string &command) {
  return parseByteSize(args.maxMemory,
                       command.empty() ? "--max-memory" : command + ": --max-memory");
}

void addRenderBasics(CLI::App &command, RenderBasics &args, const std::string &frameHelp,
                     const std::string &outHelp) {
  addModuleOption(command, args.module);
  addSceneOption(command, args.scene);
  command.add_option("--frame", args.frame, frameHelp);
  command.add_option("--out", args.out, outHelp);
  addThreadsOption(command, args.threads,
                   "Threads for decoding, filtering and encoding (default: one per core)");
  addFrameInputOptions(command, args);
  command
      .add_option("--png-transfer", args.pngTransfer,
                  "linear (default): PNG bytes are trunc(v x 255), marked gamma 1.0; srgb: "
                  "the sRGB curve, with the sRGB chunk")
      ->check(CLI::IsMember({"linear", "srgb"}));
  command.add_flag("--ignore-bad-state", args.ignoreBadState,
                   "Render even when the module refuses the scene's filter.state (without the "
                   "stored stacks)");
}

bool checkRenderBasics(const RenderBasics &args) {
  const int given =
      (args.scene.empty() ? 0 : 1) + (args.frame.empty() ? 0 : 1) + (args.out.empty() ? 0 : 1);
  if (given == 0) return false;
  if (given != 3) {
    throw Error("render: --scene, --frame and --out go together (give none of them to render "
                "the built-in demo)");
  }
  checkFrameInputArgs(args, "render");
  return true;
}

FilterSetup frameSetupFor(const FrameInputArgs &args, const std::string &command) {
  FilterSetup setup;
  if (!args.chMap.empty()) setup.map.addJsonFile(args.chMap);
  for (const std::string &text : args.ch) setup.map.addText(text, command + ": --ch");
  setup.premultiplied = args.alpha == "premultiplied";
  setup.allowMissing = args.allowMissing;
  setup.verbose = args.verbose;
  if (args.hasChannelOptions) {
    setup.missingHint = "map them with --ch or --ch-map, or give --allow-missing";
  }
  return setup;
}

FilterSetup filterSetupFor(const RenderBasics &args) {
  const ImageFormat format = imageFormatFor(args.out);
  FilterSetup setup = frameSetupFor(args, "render");
  setup.png = format == ImageFormat::Png;
  setup.planesOut = format == ImageFormat::Planes;
  setup.transfer = args.pngTransfer == "srgb" ? PngTransfer::Srgb : PngTransfer::Linear;
  setup.threads = renderThreads(args.threads);
  setup.sceneName = args.scene;
  setup.refuseBadState = !args.ignoreBadState;
  return setup;
}

std::bitset<kBufferSlots> buffersFor(unsigned int mask) {
  std::bitset<kBufferSlots> wanted;
  for (int b = 0; b < 32; ++b) wanted.set(static_cast<std::size_t>(b), (mask & (1u << b)) != 0);
  for (int b = 32; b < 36; ++b) wanted.set(static_cast<std::size_t>(b));
  wanted.set(0);
  return wanted;
}

void checkFrameInput(const FilterSetup &setup, const std::bitset<kBufferSlots> &wanted,
                     const InputHoldings &input, const std::string &name,
                     std::bitset<kBufferSlots> &warned) {
  std::vector<std::string> missing;
  for (int b = 0; b < kBufferSlots; ++b) {
    const auto bit = static_cast<std::size_t>(b);
    if (!wanted.test(bit) || input.held.test(bit)) continue;
    const std::string &channel = setup.map.source(b).channel;
    const bool essential = b == 0 || b >= 32;
    if (essential && !setup.allowMissing) {
      missing.push_back("\"" + channel + "\"" +
                        (setup.map.isMapped(b) ? " for " + bufferLabel(b) : ""));
      continue;
    }
    if (warned.test(bit)) continue;
    warned.set(bit);
    const std::string label =
        setup.map.isMapped(b) ? "\"" + channel + "\" for " + bufferLabel(b) : bufferLabel(b);
    std::fprintf(stderr, "qxhost: warning: %s has no channel %s%s; it reads 0.0\n", name.c_str(),
                 label.c_str(), essential ? "" : ", which the filter asks for");
  }
  if (!missing.empty()) {
    throw Error(name + ": no channel " + joined(missing) + "; the file has " +
                joined(input.fileChannels) + " (" + setup.missingHint + ")");
  }
  if (setup.verbose) {
    for (const std::string &source : input.sources) {
      std::fprintf(stderr, "qxhost: %s: %s\n", name.c_str(), source.c_str());
    }
  }
}

void unpremultiply(Frame &frame) {
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

void premultiply(const Frame &in, Frame &out, bool straightOut) {
  const float *alpha = in.plane(35);
  const std::size_t count = out.pixelCount();
  float *planes[4] = {out.mutablePlane(32), out.mutablePlane(33), out.mutablePlane(34),
                      out.mutablePlane(35)};
  const float *sources[4] = {in.plane(32), in.plane(33), in.plane(34), alpha};
  for (std::size_t i = 0; i < count; ++i) {
    if (alpha == nullptr || alpha[i] == 0.0f) {
      for (int c = 0; c < 4; ++c) planes[c][i] = sources[c] != nullptr ? sources[c][i] : 0.0f;
    } else if (!straightOut) {
      for (int c = 0; c < 3; ++c) planes[c][i] *= planes[3][i];
    }
  }
}

InputFrame readPlaneFolder(const std::string &folder, std::uint64_t maxBytes, int copies) {
  // The planes' headers say what the frame takes before any is read.
  std::uint64_t planes = 0, pixels = 0;
  for (int b = 0; b < kBufferSlots; ++b) {
    std::error_code ec;
    if (bufferChannelName(b) == nullptr) continue;
    const std::string path =
        (std::filesystem::path(folder) / (bufferChannelName(b) + std::string(".npy"))).string();
    if (!std::filesystem::is_regular_file(path, ec)) continue;
    pixels = std::max<std::uint64_t>(pixels, readNpyHeader(path).count());
    ++planes;
  }
  // The planes and their copies, one plane twice more while it is read
  // (its bytes and its floats), the colour and its written form.
  const std::uint64_t bytes =
      4 * pixels * (planes * (1 + static_cast<std::uint64_t>(copies)) + 2 + 4 + 1);
  if (bytes > maxBytes) {
    throw Error(memoryRefusal(folder, bytes, maxBytes,
                              std::to_string(planes) + " planes of " + std::to_string(pixels) +
                                  " pixels, held whole"));
  }
  InputFrame input;
  input.frame = Frame::readPlanes(folder);
  for (int b = 0; b < kBufferSlots; ++b) {
    if (!input.frame.has(b)) continue;
    input.holdings.held.set(static_cast<std::size_t>(b));
    if (bufferChannelName(b) != nullptr)
      input.holdings.fileChannels.push_back(bufferChannelName(b) + std::string(".npy"));
  }
  return input;
}

#if QX_WITH_EXR
ExrReadOptions exrReadOptionsFor(const FrameInputArgs &args, const FilterSetup &setup) {
  ExrReadOptions read;
  read.map = setup.map;
  read.part = args.part;
  read.maxPixels = args.maxPixels;
  read.memory.maxBytes = maxMemoryOf(args, "");
  return read;
}

InputHoldings holdingsOf(const ExrInput &input, const ChannelMap &map) {
  InputHoldings holdings;
  holdings.fileChannels = input.fileChannels();
  for (int b = 0; b < kBufferSlots; ++b) {
    holdings.held.set(static_cast<std::size_t>(b), input.holds(b));
    const ExrBufferSource &source = input.sources()[static_cast<std::size_t>(b)];
    char line[256];
    if (source.constant) {
      std::snprintf(line, sizeof line, "%s is the constant %g", bufferLabel(b).c_str(),
                    static_cast<double>(map.source(b).constant));
    } else if (source.part >= 0) {
      std::snprintf(line, sizeof line, "%s reads channel \"%s\" of part %d", bufferLabel(b).c_str(),
                    source.channel.c_str(), source.part);
    } else {
      continue;
    }
    holdings.sources.push_back(line);
  }
  const std::string threads =
      std::to_string(input.threads()) + (input.threads() == 1 ? " thread" : " threads");
  holdings.sources.push_back(
      (input.stripRows() >= input.height()
           ? "read whole on " + threads
           : "read in strips of " + std::to_string(input.stripRows()) + " rows on " + threads) +
      ", about " + byteText(input.plannedBytes()) + " planned (--max-memory)");
  return holdings;
}

InputFrame readInputFrame(const std::string &path, const ExrReadOptions &read) {
  if (namesPlaneFolder(path)) {
    return readPlaneFolder(path, read.memory.maxBytes, read.memory.wholeCopies);
  }
  ExrInput exr(path, read);
  ExrStrip whole;
  exr.read(0, exr.height(), whole);
  return {std::move(whole.frame), holdingsOf(exr, read.map)};
}
#endif

FrameFilter::FrameFilter(Host &host, const FilterSetup &setup)
    : setup_(setup), instance_(host.makeInstance(host.makeFilter())) {
  // A refused state would render as if the scene had no stacks at all.
  reportStateRefusal(host, setup.sceneName, setup.refuseBadState,
                     "nothing rendered (--ignore-bad-state renders without the stored stacks)");
  mask_ = instance_.flags();
  instance_.init(0);
}

FrameFilter::~FrameFilter() { instance_.cleanup(); }

std::bitset<kBufferSlots> FrameFilter::buffers() const { return buffersFor(mask_); }

void FrameFilter::begin(const InputHoldings &input, const std::string &name) {
  checkFrameInput(setup_, buffers(), input, name, warned_);
  instance_.newTime(frameNumber_++, 0.0);
}

void FrameFilter::filter(Frame &in, Frame &colour, int firstRow) {
  if (setup_.premultiplied) unpremultiply(in);
  RenderOptions options;
  options.threads = setup_.threads;
  options.progress = nullptr;
  options.firstRow = firstRow;
  renderInto(
      in, colour, [&](const HostPixelAccess &access) { instance_.evaluate(access); }, options);
  if (setup_.premultiplied) premultiply(in, colour, setup_.png);
}

void writeColour(const std::string &path, const FilterSetup &setup, const Frame &colour) {
  if (setup.png) {
    writePng(path, colour, setup.transfer);
  } else if (setup.planesOut) {
    colour.writePlanes(path);
  } else { // no EXR header to carry through
    colour.writeExr(path);
  }
}

void renderPlanes(const std::string &frame, const std::string &out, const FilterSetup &setup,
                  FrameFilter &filter, std::uint64_t maxBytes) {
  InputFrame input = readPlaneFolder(frame, maxBytes, 0);
  filter.begin(input.holdings, frame);
  Frame colour;
  filter.filter(input.frame, colour, 0);
  writeColour(out, setup, colour);
}

int renderDemo(const RenderBasics &args) {
  DemoScene demo = makeDemoScene();
  Host host(demo.scene);
  host.loadModule(args.module);
  FilterSetup setup;
  setup.threads = renderThreads(args.threads);
  setup.sceneName = "the demo scene";
  FrameFilter filter(host, setup);
  InputHoldings all;
  all.held.set();
  filter.begin(all, "the demo frame");
  Frame before = demo.frame;
  Frame after;
  filter.filter(before, after, 0);
  const PngTransfer transfer = args.pngTransfer == "srgb" ? PngTransfer::Srgb : PngTransfer::Linear;
  writePng(kDemoOutput, sideBySide(demo.frame, after), transfer);
  std::printf("%s\n", std::filesystem::absolute(kDemoOutput).string().c_str());
  return kExitOk;
}

} // namespace qx::cli
