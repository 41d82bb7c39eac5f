// qxhost render: a frame or a sequence of frames through the filter of a
// scene, or, without arguments, the built-in demo before and after.
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "base/error.h"
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
                  "for .npy planes, or a pattern like --frame's",
                  FrameOptionSet::FrameAndLayer);
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

// Render's setup: that of both builds, and how EXR files are written.
RenderSetup setupFor(const RenderArgs &args) {
  RenderSetup setup = renderSetupFor(args);
  setup.output.rgbaOnly = args.keep == "rgba";
  setup.output.half = args.half;
  setup.output.forceFloat = args.forceFloat;
  setup.output.zipLevel = args.zipLevel;
  setup.output.attributes = {
      {"qxhost:module", std::filesystem::absolute(args.module).string()},
      {"qxhost:scene", std::filesystem::absolute(args.scene).string()},
      {"qxhost:version", std::string("qxhost ") + versionText()},
  };
  checkColourChannels(setup.frame, setup.output);
  return setup;
}

ProgressStyle progressStyle(const RenderArgs &args) {
  return args.progress == "bar"     ? ProgressStyle::Bar
         : args.progress == "lines" ? ProgressStyle::Lines
         : args.progress == "none"  ? ProgressStyle::None
                                    : ProgressStyle::Auto;
}

int renderSingle(const RenderArgs &args, const RenderSetup &setup, Host &host) {
  FrameFilter filter(host, setup.frame, setup.run);
  try {
    if (namesPlaneFolder(args.frame)) {
      renderPlaneFrame(args.frame, args.out, setup.frame, setup.output, filter);
      return kExitOk;
    }
    SequenceOptions options;
    options.count = 1;
    options.frame = [&args](int) { return SequenceFrame{0, args.frame, args.out}; };
    options.single = true;
    options.stopOnError = true;
    options.progress = progressStyle(args);
    FrameSequence run(filter, setup.frame, setup.output, std::move(options));
    const SequenceResult result = run.run();
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
  // Each frame's own files are checked as it comes.
  options.checkFrames = true;
  options.inputs = runInputs(args);

  FrameFilter filter(host, setup.frame, setup.run);
  FrameSequence run(filter, setup.frame, setup.output, std::move(options));
  const SequenceResult result = run.run();
  return result.failed > 0 || result.notRun > 0 ? kExitUserError : kExitOk;
}

int runRender(const RenderArgs &args) {
  if (!checkRenderBasics(args)) return renderDemo(args);
  if (!args.task.empty() && args.frames.empty()) throw Error("render: --task needs --frames");
  // Bad names and maps fail before the work, not after it.
  const RenderSetup setup = setupFor(args);
  // A file that exists is the frame, whatever its name holds; only a name
  // that is no file is read as a pattern.
  std::error_code ec;
  const bool sequence = !args.frames.empty() ||
                        (isFramePattern(args.frame) && !std::filesystem::exists(args.frame, ec));
  if (!sequence) {
    refuseOutputOverInput(outputFiles(setup.output, args.out), renderInputs(args, args.frame));
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
