// qxhost render's core, shared by both builds, and the frame input render
// and edit share.
#include "render_frame.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "base/error.h"
#include "base/memory_plan.h"
#include "base/safe_write.h"
#include "frames/demo_scene.h"
#include "frames/npy.h"
#if QX_WITH_EXR
#include "frames/exr_output.h"
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

// What --verbose says of a buffer filled with a constant.
std::string constantSource(int buffer, float value) {
  char text[64];
  std::snprintf(text, sizeof text, " is the constant %g", static_cast<double>(value));
  return bufferLabel(buffer) + text;
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
                   "Say which channel and part each buffer is read from, how many pixels the "
                   "filter wrote for each stored entry, and which output has other names (hard "
                   "links) that keep the old content");
}

void addCryptomatteOption(CLI::App &command, FrameInputArgs &args) {
  command.add_option("--cryptomatte", args.cryptomatte,
                     "Take each pixel's ids from this Cryptomatte layer (e.g. CryptoObject) "
                     "instead of the special-buffer channel: the pixel is filtered once for "
                     "each id that covers it, and the results mixed by coverage (soft edges)");
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
  command
      .add_option("--png-window", args.pngWindow,
                  "display (default): a PNG shows the display window, the data window in place "
                  "and the rest transparent; data: the data window alone")
      ->check(CLI::IsMember({"display", "data"}));
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
  setup.maxPixels = args.maxPixels;
  setup.allowMissing = args.allowMissing;
  setup.verbose = args.verbose;
  setup.cryptomatte = args.cryptomatte;
  if (!setup.cryptomatte.empty() && setup.map.isMapped(0)) {
    throw Error(command + ": --cryptomatte gives each pixel its ids; it takes no mapping of "
                          "SpecialBuffer (--ch or --ch-map)");
  }
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
  setup.pngDisplayWindow = args.pngWindow == "display";
  setup.threads = renderThreads(args.threads);
  setup.sceneName = args.scene;
  setup.refuseBadState = !args.ignoreBadState;
  return setup;
}

std::vector<NamedPath> renderInputs(const RenderBasics &args, const std::string &frame) {
  std::vector<NamedPath> inputs = {
      {"the scene", args.scene}, {"the module", args.module}, {"the channel map", args.chMap}};
  if (namesPlaneFolder(frame)) {
    const std::vector<NamedPath> planes =
        planeFiles(frame, "the frame's plane", 0, kBufferSlots - 1);
    inputs.insert(inputs.end(), planes.begin(), planes.end());
  } else {
    inputs.push_back({"the frame", frame});
  }
  return inputs;
}

std::vector<NamedPath> renderOutputs(const FilterSetup &setup, const std::string &out) {
  if (setup.planesOut) return planeFiles(out, "the output's plane", HOST_BUF_RED, HOST_BUF_ALPHA);
  return {{"the output", out}};
}

void noteSplitLinks(const FilterSetup &setup, const std::string &out) {
  if (setup.verbose) noteSplitLinks(renderOutputs(setup, out));
}

void noteSplitLinks(const std::vector<NamedPath> &outputs) {
  for (const NamedPath &file : outputs) {
    if (file.path.empty()) continue;
    const std::uintmax_t others = otherHardLinks(file.path);
    if (others == 0) continue;
    std::fprintf(stderr,
                 "qxhost: %s: has %ju other %s (hard links); the new file takes this name only, "
                 "the %s the old content\n",
                 file.path.c_str(), others, others == 1 ? "name" : "names",
                 others == 1 ? "other keeps" : "others keep");
  }
}

std::bitset<kBufferSlots> buffersFor(unsigned int mask) {
  std::bitset<kBufferSlots> wanted;
  for (int b = 0; b < HOST_BUF_RED; ++b)
    wanted.set(static_cast<std::size_t>(b), (mask & (1u << b)) != 0);
  for (int b = HOST_BUF_RED; b <= HOST_BUF_ALPHA; ++b) wanted.set(static_cast<std::size_t>(b));
  wanted.set(0);
  return wanted;
}

namespace {

// Levenshtein's distance between two names, for the closest channels.
std::size_t distance(const std::string &a, const std::string &b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// A file channel's name without the part that InputHoldings adds.
std::string bareChannel(const std::string &listed) {
  const std::size_t part = listed.find(" (part ");
  return part == std::string::npos ? listed : listed.substr(0, part);
}

// The file's channels that come closest to `wanted`, up to three.
std::string closestChannels(const std::string &wanted, const std::vector<std::string> &channels) {
  std::vector<std::pair<std::size_t, std::string>> ranked;
  ranked.reserve(channels.size());
  for (const std::string &listed : channels) {
    ranked.emplace_back(distance(wanted, bareChannel(listed)), listed);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
  std::string text;
  for (std::size_t i = 0; i < ranked.size() && i < 3; ++i) {
    text += (text.empty() ? "" : ", ") + ranked[i].second;
  }
  return text;
}

} // namespace

void checkFrameInput(const FilterSetup &setup, const std::bitset<kBufferSlots> &wanted,
                     const InputHoldings &input, const std::string &name,
                     std::bitset<kBufferSlots> &warned) {
  std::vector<std::string> missing;
  std::vector<std::string> mistyped; // mapped for a buffer the filter reads
  for (int b = 0; b < kBufferSlots; ++b) {
    const auto bit = static_cast<std::size_t>(b);
    const ChannelSource &source = setup.map.source(b);
    if (!wanted.test(bit)) {
      // A map may name channels for buffers other scenes read: a warning.
      const bool named = setup.map.isMapped(b) && source.kind == ChannelSource::Kind::Channel;
      const auto inFile = [&] {
        return std::any_of(input.fileChannels.begin(), input.fileChannels.end(),
                           [&](const std::string &c) { return bareChannel(c) == source.channel; });
      };
      if (named && !warned.test(bit) && !input.fileChannels.empty() && !inFile()) {
        warned.set(bit);
        std::fprintf(stderr,
                     "qxhost: warning: %s has no channel \"%s\" mapped for %s (the filter does "
                     "not read it)\n",
                     name.c_str(), source.channel.c_str(), bufferLabel(b).c_str());
      }
      continue;
    }
    if (input.held.test(bit)) continue;
    const std::string &channel = source.channel;
    const bool essential = b == 0 || b >= HOST_BUF_RED;
    if (essential && !setup.allowMissing) {
      missing.push_back("\"" + channel + "\"" +
                        (setup.map.isMapped(b) ? " for " + bufferLabel(b) : ""));
      continue;
    }
    if (setup.map.isMapped(b) && !setup.allowMissing) {
      mistyped.push_back("\"" + channel + "\" for " + bufferLabel(b) +
                         " (closest: " + closestChannels(channel, input.fileChannels) + ")");
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
  if (!mistyped.empty()) {
    throw Error(name + ": no channel " + joined(mistyped) +
                ", though the map names it for a buffer the filter reads (correct the map, or "
                "give --allow-missing to read 0.0)");
  }
  if (setup.verbose) {
    for (const std::string &source : input.sources) {
      std::fprintf(stderr, "qxhost: %s: %s\n", name.c_str(), source.c_str());
    }
  }
}

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

InputFrame readPlaneFolder(const std::string &folder, const ChannelMap &map,
                           std::uint64_t maxPixels, std::uint64_t maxBytes, int copies) {
  std::array<std::string, kBufferSlots> names;
  for (int b = 0; b < kBufferSlots; ++b) {
    const ChannelSource &source = map.source(b);
    if (source.kind == ChannelSource::Kind::Channel)
      names[static_cast<std::size_t>(b)] = source.channel;
  }
  // The planes' headers say what the frame takes before any is read.
  std::uint64_t planes = 0, pixels = 0;
  for (const std::string &name : names) {
    std::error_code ec;
    if (name.empty()) continue;
    const std::string path = (std::filesystem::path(folder) / (name + ".npy")).string();
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
  input.frame = Frame::readPlanes(folder, maxPixels, &names);
  input.windows = FrameWindows::whole(input.frame.width(), input.frame.height());
  for (int b = 0; b < kBufferSlots; ++b) {
    const ChannelSource &source = map.source(b);
    const auto bit = static_cast<std::size_t>(b);
    if (source.kind == ChannelSource::Kind::Constant) {
      float *plane = input.frame.mutablePlane(b);
      std::fill(plane, plane + input.frame.pixelCount(), source.constant);
      input.holdings.held.set(bit);
      input.holdings.sources.push_back(constantSource(b, source.constant));
    } else if (input.frame.has(b)) {
      input.holdings.held.set(bit);
      input.holdings.sources.push_back(bufferLabel(b) + " reads plane \"" + source.channel +
                                       ".npy\"");
    }
  }
  // What the folder has, for the message naming what is missing.
  std::error_code ec;
  for (const auto &item : std::filesystem::directory_iterator(folder, ec)) {
    const std::filesystem::path &path = item.path();
    if (path.extension() == ".npy") input.holdings.fileChannels.push_back(path.filename().string());
  }
  std::sort(input.holdings.fileChannels.begin(), input.holdings.fileChannels.end());
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
    if (source.constant) {
      holdings.sources.push_back(constantSource(b, map.source(b).constant));
    } else if (source.part >= 0) {
      holdings.sources.push_back(bufferLabel(b) + " reads channel \"" + source.channel +
                                 "\" of part " + std::to_string(source.part));
    }
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
    return readPlaneFolder(path, read.map, read.maxPixels, read.memory.maxBytes,
                           read.memory.wholeCopies);
  }
  ExrInput exr(path, read);
  ExrStrip whole;
  exr.read(0, exr.height(), whole);
  return {std::move(whole.frame), holdingsOf(exr, read.map), exr.windows(), std::move(whole.extra)};
}
#endif

FrameFilter::FrameFilter(Host &host, const FilterSetup &setup)
    : setup_(setup), instance_(host.makeInstance(host.makeFilter())) {
  // A refused state would render as if the scene had no stacks at all.
  reportStateRefusal(host, setup.sceneName, setup.refuseBadState,
                     "nothing rendered (--ignore-bad-state renders without the stored stacks)");
  mask_ = instance_.flags();
  entries_ = storedEntries(instance_.save());
  instance_.init(0);
}

FrameFilter::~FrameFilter() { instance_.cleanup(); }

std::bitset<kBufferSlots> FrameFilter::buffers() const {
  std::bitset<kBufferSlots> wanted = buffersFor(mask_);
  // The ids come from the layer's ranks, not from a channel.
  if (!setup_.cryptomatte.empty()) wanted.reset(0);
  return wanted;
}

void FrameFilter::begin(const InputHoldings &input, const std::string &name) {
  begin(input, name, nullptr);
}

void FrameFilter::begin(const InputHoldings &input, const std::string &name,
                        const CryptomatteLayer *layer) {
  checkFrameInput(setup_, buffers(), input, name, warned_);
  frameName_ = name;
  layer_.reset();
  if (layer != nullptr) layer_ = *layer;
  written_.clear();
  instance_.newTime(frameNumber_++, 0.0);
}

void FrameFilter::filter(Frame &in, Frame &colour, int firstRow,
                         const std::vector<std::vector<float>> *ranks) {
  if (setup_.premultiplied) unpremultiply(in);
  RenderOptions options;
  options.threads = setup_.threads;
  options.progress = nullptr;
  options.firstRow = firstRow;
  options.tally = &written_;
  const PixelEvaluator evaluate = [&](const HostPixelAccess &access) {
    instance_.evaluate(access);
  };
  if (!setup_.cryptomatte.empty()) {
    if (ranks == nullptr) throw Error(frameName_ + ": no Cryptomatte ranks were read");
    std::vector<RankPlanes> planes;
    for (std::size_t k = 0; k + 1 < ranks->size(); k += 2) {
      planes.push_back({(*ranks)[k].data(), (*ranks)[k + 1].data()});
    }
    renderCoverage(in, planes, colour, evaluate, options);
  } else {
    renderInto(in, colour, evaluate, options);
  }
  if (setup_.premultiplied) premultiply(in, colour, setup_.png);
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
    if (setup_.verbose) {
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
  InputFrame input = readPlaneFolder(frame, setup.map, setup.maxPixels, maxBytes, 0);
  filter.begin(input.holdings, frame);
  noteSplitLinks(setup, out);
  Frame colour;
  filter.filter(input.frame, colour, 0);
  filter.end();
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
