// qxhost render: a frame or a sequence of frames through the filter of a
// scene, or, without arguments, the built-in demo before and after.
#include <ImfThreading.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/error.h"
#include "frames/exr_output.h"
#include "frames/sequence.h"
#include "render_frame.h"
#include "version.h"

namespace qx::cli {
namespace {

// Every option of render, as given.
struct RenderArgs : RenderBasics {
  // Output.
  std::string keep = "all";
  bool half = false;
  bool forceFloat = false;
  int zipLevel = 0;
  // Sequences.
  std::string frames;
  std::string task;
  bool stopOnError = false;
  std::string progress = "auto";
};

void addRenderOptions(CLI::App &command, RenderArgs &args) {
  addRenderBasics(command, args,
                  "The frame to filter: an OpenEXR file (see README, Frames), a folder of .npy "
                  "planes given with a closing slash, or a "
                  "sequence's pattern with '####' or '%04d' for the frame number",
                  "The output: .exr (every channel carried through), .png (8-bit RGBA), DIR/ "
                  "for .npy planes, or a pattern like --frame's");
  addChannelOptions(command, args);
  addCryptomatteOption(command, args);
  command
      .add_option("--keep", args.keep,
                  "all: carry every channel through (default); rgba: write only R, G, B, A")
      ->check(CLI::IsMember({"all", "rgba"}));
  CLI::Option *half =
      command.add_flag("--half", args.half, "Write half and float channels as half");
  command.add_flag("--float", args.forceFloat, "Write half and float channels as float")
      ->excludes(half);
  command
      .add_option("--zip-level", args.zipLevel,
                  "Deflate level of ZIP and ZIPS outputs: 1 (fastest) to 9 (smallest); "
                  "default OpenEXR's, 4")
      ->check(CLI::Range(1, 9));
  command.add_option("--frames", args.frames,
                     "The frames of a sequence: A-B or A-BxSTEP (needs patterns in --frame "
                     "and --out, padded to at most 32 digits)");
  command.add_option("--task", args.task,
                     "Render every N-th frame of --frames starting at the I-th: I/N, 1-based");
  command.add_flag("--stop-on-error", args.stopOnError,
                   "Stop a sequence at the first missing or damaged frame");
  command
      .add_option("--progress", args.progress,
                  "Progress on stderr: bar (one line rewritten), lines (a sequence: one line a "
                  "finished frame: number, output, seconds, result), none; auto (default): the "
                  "bar on a terminal, lines elsewhere")
      ->check(CLI::IsMember({"auto", "bar", "lines", "none"}));
}

// What every frame of one run shares, worked out from the arguments: the
// filter's part, and how EXR files are read and written.
struct RenderSetup : FilterSetup {
  ExrReadOptions read;
  ExrWriteOptions write;
};

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
  WholeColourSink(const std::string &path, const FilterSetup &setup, const ExrInput &input)
      : path_(path), setup_(setup), colour_(input.width(), input.height()),
        windows_(input.windows()) {}
  void write(const ExrStrip &strip, const Frame &colour) override {
    const std::size_t offset =
        static_cast<std::size_t>(strip.firstRow) * static_cast<std::size_t>(colour_.width());
    for (int c = HOST_BUF_RED; c <= HOST_BUF_ALPHA; ++c) {
      const float *rows = colour.plane(c);
      if (rows != nullptr) {
        std::copy(rows, rows + colour.pixelCount(), colour_.mutablePlane(c) + offset);
      }
    }
  }
  // A PNG shows the display window, the data window in place, unless
  // --png-window data keeps the data window alone.
  void commit() override {
    if (setup_.png && setup_.pngDisplayWindow) {
      writeColour(path_, setup_, inDisplayWindow(colour_, windows_));
    } else {
      writeColour(path_, setup_, colour_);
    }
  }

private:
  std::string path_;
  const FilterSetup &setup_;
  Frame colour_;
  FrameWindows windows_;
};

RenderSetup makeSetup(const RenderArgs &args) {
  RenderSetup setup;
  static_cast<FilterSetup &>(setup) = filterSetupFor(args);
  setup.read = exrReadOptionsFor(args, setup);
  setup.read.passThrough = args.keep == "all";
  // An EXR output writes each colour buffer back into the channel it was
  // read from: two in one channel would lose one's filtered colour.
  const std::string collision = setup.map.colourCollision();
  if (!setup.png && !setup.planesOut && args.keep == "all" && !collision.empty()) {
    throw Error("render: " + collision +
                ", and one filtered colour would be lost (map each colour buffer to a channel "
                "of its own, or give --keep rgba)");
  }
  setup.read.memory.strips = true;
  setup.read.memory.output =
      setup.png || setup.planesOut ? ExrMemoryUse::Output::WholeColour : ExrMemoryUse::Output::Exr;
  setup.read.memory.floatOutput = args.forceFloat;
  setup.read.memory.displayPicture = setup.png && setup.pngDisplayWindow;
  setup.write.rgbaOnly = args.keep == "rgba";
  setup.write.zipLevel = args.zipLevel;
  // An EXR output that keeps the part's layout copies the chunks the
  // filter leaves alone, as the reader kept them.
  setup.read.keepChunks = !setup.png && !setup.planesOut && args.keep == "all" && !args.half &&
                          !args.forceFloat && args.zipLevel == 0;
  setup.write.verbose = args.verbose;
  setup.write.type = args.half         ? ExrPixelChoice::Half
                     : args.forceFloat ? ExrPixelChoice::Float
                                       : ExrPixelChoice::Input;
  setup.write.attributes = {
      {"qxhost:module", std::filesystem::absolute(args.module).string()},
      {"qxhost:scene", std::filesystem::absolute(args.scene).string()},
      {"qxhost:version", std::string("qxhost ") + versionText()},
  };
  return setup;
}

// The stages of a run that reads EXR frames, filters them strip by strip
// and writes each as it comes.
SequenceStages exrStages(FrameFilter &filter, const RenderSetup &setup, const ExrReadOptions &read,
                         const RenderArgs &args, bool sequence) {
  SequenceStages stages;
  const std::string &layerName = setup.cryptomatte;
  stages.open = [&read, &args, &setup, &layerName, sequence](const SequenceFrame &frame) {
    // A sequence's frames are checked as they come, before each is read: a
    // run may hold more frames than are worth looking at up front.
    if (sequence) {
      refuseOutputOverInput(renderOutputs(setup, frame.out), renderInputs(args, frame.in));
    }
    if (layerName.empty()) return std::make_unique<ExrInput>(frame.in, read);
    // The layer's rank channels are read besides the buffers.
    const std::vector<CryptomatteLayer> layers =
        readCryptomatteLayers(frame.in, [](const std::string &) {});
    ExrReadOptions withRanks = read;
    withRanks.extraChannels = findCryptomatteLayer(layers, layerName, frame.in).rankChannels;
    return std::make_unique<ExrInput>(frame.in, withRanks);
  };
  stages.begin = [&filter, &setup](const ExrInput &input) {
    if (setup.cryptomatte.empty()) {
      filter.begin(holdingsOf(input, setup.map), input.name());
      return;
    }
    const std::vector<CryptomatteLayer> layers =
        cryptomatteLayersOf(input, [](const std::string &w) {
          std::fprintf(stderr, "qxhost: warning: %s\n", w.c_str());
        });
    filter.begin(holdingsOf(input, setup.map), input.name(),
                 &findCryptomatteLayer(layers, setup.cryptomatte, input.name()));
  };
  stages.filter = [&filter](const ExrInput &, ExrStrip &strip, Frame &colour) {
    filter.filter(strip.frame, colour, strip.firstRow, &strip.extra);
  };
  stages.end = [&filter](const ExrInput &) { filter.end(); };
  stages.sink = [&setup](const std::string &path,
                         const ExrInput &input) -> std::unique_ptr<FrameSink> {
    noteSplitLinks(setup, path);
    if (setup.png || setup.planesOut) {
      return std::make_unique<WholeColourSink>(path, setup, input);
    }
    return std::make_unique<ExrSink>(path, input, setup.write);
  };
  return stages;
}

ProgressStyle progressStyle(const RenderArgs &args) {
  return args.progress == "bar"     ? ProgressStyle::Bar
         : args.progress == "lines" ? ProgressStyle::Lines
         : args.progress == "none"  ? ProgressStyle::None
                                    : ProgressStyle::Auto;
}

int renderSingle(const RenderArgs &args, const RenderSetup &setup, Host &host) {
  FrameFilter filter(host, setup);
  ExrReadOptions read = setup.read;
  read.buffers = filter.buffers();
  read.memory.outputs = 1;
  try {
    if (namesPlaneFolder(args.frame)) {
      if (!setup.cryptomatte.empty()) {
        throw Error(args.frame + ": --cryptomatte reads an OpenEXR frame's layer, not planes");
      }
      renderPlanes(args.frame, args.out, setup, filter, read.memory.maxBytes);
      return kExitOk;
    }
    SequenceOptions options;
    options.count = 1;
    options.frame = [&args](int) { return SequenceFrame{0, args.frame, args.out}; };
    options.single = true;
    options.stopOnError = true;
    options.progress = progressStyle(args);
    const SequenceResult result = runSequence(options, exrStages(filter, setup, read, args, false));
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
  checkFramePattern(args.frame, "render: --frame");
  checkFramePattern(args.out, "render: --out");
  FrameRange frames = FrameRange::parse(args.frames, "render: --frames");
  if (!args.task.empty()) frames = frames.task(args.task, "render: --task");
  // Decided from the names, before any frame is read: a frame's output may
  // not be the input of a frame this run reads.
  refuseOutputsOverInputs(args.frame, args.out, frames);
  SequenceOptions options;
  options.count = frames.count();
  options.frame = [&args, frames](int index) {
    const int number = frames.at(index);
    return SequenceFrame{number, expandFramePattern(args.frame, number),
                         expandFramePattern(args.out, number)};
  };
  options.stopOnError = args.stopOnError;
  options.progress = progressStyle(args);

  FrameFilter filter(host, setup);
  ExrReadOptions read = setup.read;
  read.buffers = filter.buffers();
  const SequenceResult result = runSequence(options, exrStages(filter, setup, read, args, true));
  return result.failed > 0 || result.notRun > 0 ? kExitUserError : kExitOk;
}

int runRender(const RenderArgs &args) {
  if (!checkRenderBasics(args)) return renderDemo(args);
  if (!args.task.empty() && args.frames.empty()) throw Error("render: --task needs --frames");
  // Bad names and maps fail before the work, not after it.
  const RenderSetup setup = makeSetup(args);
  Imf::setGlobalThreadCount(static_cast<int>(setup.threads));
  // A file that exists is the frame, whatever its name holds; only a name
  // that is no file is read as a pattern.
  std::error_code ec;
  const bool sequence = !args.frames.empty() ||
                        (isFramePattern(args.frame) && !std::filesystem::exists(args.frame, ec));
  if (!sequence) {
    refuseOutputOverInput(renderOutputs(setup, args.out), renderInputs(args, args.frame));
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
  addRenderOptions(*command, *args);
  return {command, [args] { return runRender(*args); }};
}

} // namespace qx::cli
