// qxhost: the stand-in host's command line. It parses arguments and hands the
// chosen command to its own function; each command lives in a cmd_*.cpp file.
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <vector>

#include "base/error.h"
#include "base/safe_write.h"
#include "command.h"
#include "loader/dynamic_library.h"
#include "loader/module_call.h"
#include "version.h"

namespace {

int run(int argc, char **argv) {
  qx::useBinaryStandardOutput();
#ifdef SIGXFSZ
  // Under a file-size limit a write past it should fail with an error the
  // safe writer reports (and cleans up after), not kill the process.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  // Ctrl-C, SIGTERM or SIGHUP in the middle of a write leave no temporary
  // file behind.
  qx::removeTemporariesOnSignals();

  CLI::App app{"qxhost: loads the Quintessalux module and drives it as a host does"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("qxhost ") + qx::cli::versionText(),
                       "Print qxhost's version and exit");
  bool misalignStack = false;
  app.add_flag("--misalign-stack", misalignStack,
               "Call every module entry and callback with the stack at 4 mod 16 (32-bit x86 "
               "builds only)");

  const std::vector<qx::cli::Command> commands = {
    qx::cli::addInfoCommand(app),
    qx::cli::addRenderCommand(app),
#if QX_WITH_EXR
    qx::cli::addDemoCommand(app),
    qx::cli::addPlanesCommand(app),
    qx::cli::addIdsCommand(app),
    qx::cli::addSceneCommand(app),
#endif
    qx::cli::addFlagsCommand(app),
    qx::cli::addStateCommand(app),
    qx::cli::addPanelCommand(app),
#if QX_WITH_FLTK
    qx::cli::addEditCommand(app),
#endif
  };

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e) == 0 ? qx::cli::kExitOk : qx::cli::kExitUserError;
  }

  for (const qx::cli::Command &command : commands) {
    if (!command.app->parsed()) continue;
    try {
      qx::setMisalignedModuleCalls(misalignStack);
      return command.run();
    } catch (const qx::Error &e) {
      std::fprintf(stderr, "qxhost: %s\n", e.what());
      return qx::cli::kExitUserError;
    } catch (const std::bad_alloc &) {
      std::fprintf(stderr, "qxhost: out of memory\n");
      return qx::cli::kExitUserError;
    } catch (const std::exception &e) {
      std::fprintf(stderr, "qxhost: internal error: %s\n", e.what());
      return qx::cli::kExitFailure;
    }
  }
  return qx::cli::kExitUserError;
}

} // namespace

int main(int argc, char **argv) {
  // Only the setting up of the commands can throw here: a command's own
  // errors are reported by run().
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, "qxhost: out of memory\n");
    return qx::cli::kExitUserError;
  } catch (...) {
    std::fprintf(stderr, "qxhost: internal error while setting up the commands\n");
    return qx::cli::kExitFailure;
  }
}
