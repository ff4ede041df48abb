// sharpstack: the command-line host. Parses the command line and hands over to
// the commands in cli/app; exit codes are 0 done, 1 error, 2 usage, 130
// cancelled.
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli/app/commands.h"
#include "cli/app/interrupt.h"

namespace {

const char* const kDescription =
    "Focus stacking from the command line: adds pictures of one scene, focused at different\n"
    "depths, into a focus buffer on disk, and writes the all-in-focus composite.\n"
    "The plug-in Sharpstack.so is loaded from beside this program unless --plugin names it.";

const char* const kEpilogue =
    "Exit codes: 0 done, 1 error, 2 usage, 130 cancelled (Ctrl-C).\n"
    "Example: sharpstack stack -o composite.tif near.tif middle.tif far.tif";

int Main(int argc, char** argv) {
  CLI::App app{kDescription, "sharpstack"};
  app.footer(kEpilogue);
  app.require_subcommand(1);
  app.fallthrough();  // global options may follow the command too

  std::string root;
  cli::Settings settings;
  CLI::Option* root_option =
      app.add_option("--root", root,
                     "folder for the focus buffer and the plug-in's other files "
                     "(as SHARPSTACK_ROOT; default $XDG_DATA_HOME/sharpstack or "
                     "~/.local/share/sharpstack)");
  app.add_option("--plugin", settings.pluginPath,
                 "the plug-in module to load (default: Sharpstack.so beside sharpstack)");
  app.add_flag("--quiet,-q", settings.quiet, "no progress bar and no confirmations");

  CLI::App* clear = app.add_subcommand("clear", "delete the focus buffer");

  std::vector<std::string> add_images;
  CLI::App* add = app.add_subcommand("add", "add each picture to the focus buffer, in order");
  add->add_option("IMAGE", add_images, "pictures to add (.png, .tif, .tiff, .jpg, .jpeg)")
      ->required();
  bool add_align = false;
  add->add_flag("--align", add_align,
                "align each picture onto the first picture of the buffer before adding it");

  cli::ShowOptions show_options;
  std::string show_size, show_background;
  CLI::App* show = app.add_subcommand(
      "show",
      "write the composite that the focus buffer holds into a new picture; by default of the "
      "buffer's size, 16-bit for PNG and TIFF, 8-bit for JPEG, RGB, on white");
  show->add_option("-o,--output", show_options.output, "the picture to write")->required();
  CLI::Option* like = show->add_option("--like", show_options.like.emplace(),
                                       "take the size, depth and mode from this picture");
  CLI::Option* size =
      show->add_option("--size", show_size, "the picture's size, WIDTHxHEIGHT (e.g. 1600x1200)");
  like->excludes(size);
  show->add_option("--depth", show_options.depth.emplace(), "bits per channel")
      ->check(CLI::IsMember({8, 16}));
  show->add_flag("--grey,--gray", show_options.grey, "a grey picture");
  show->add_option("--background", show_background,
                   "R,G,B (0..255) where no picture covered the buffer (default 255,255,255)");

  std::string stack_output;
  std::vector<std::string> stack_images;
  CLI::App* stack = app.add_subcommand(
      "stack",
      "check every picture, then clear the buffer, add them in order and write the composite at "
      "the buffer's size with the first picture's depth and mode");
  stack->add_option("-o,--output", stack_output, "the picture to write")->required();
  stack->add_option("IMAGE", stack_images, "pictures of the series")->required();
  bool stack_align = false;
  stack->add_flag("--align", stack_align,
                  "align the pictures onto the first one (shift, turn, scale) before adding them");

  cli::RunCommandOptions run_options;
  std::string run_op, run_rect;
  CLI::App* run = app.add_subcommand(
      "run",
      "one filter run on one picture, as an image editor does it; without --op or --play the "
      "plug-in's own dialog asks for the operation");
  run->add_option("IMAGE", run_options.image, "the picture to run the filter on")->required();
  run->add_option("-o,--output", run_options.output, "where to write the picture afterwards")
      ->required();
  CLI::Option* op = run->add_option("--op", run_op, "the operation, without a dialog")
                        ->check(CLI::IsMember({"clear", "add", "show"}));
  run->add_option("--mask", run_options.mask.emplace(),
                  "a picture of the same size used as the selection (8-bit grey; 0 unselected, "
                  "255 selected)");
  run->add_option("--rect", run_rect,
                  "the filter rectangle LEFT,TOP,RIGHT,BOTTOM in pixels (right and bottom "
                  "exclusive)");
  CLI::Option* play = run->add_option("--play", run_options.play.emplace(),
                                      "play back a recorded action (JSON file)");
  op->excludes(play);
  run->add_option("--record", run_options.record.emplace(),
                  "record the run's descriptor into an action (JSON file)");
  run->add_flag("--dialog", run_options.dialog, "show the dialog even when playing back");

  cli::WatchOptions watch_options;
  CLI::App* watch = app.add_subcommand(
      "watch",
      "live stacking: add every picture that arrives in FOLDER, once its writer has finished "
      "with it, and write OUT again after each one (at the buffer's size with the first "
      "picture's depth and mode, as stack does); ends after --count pictures or on Ctrl-C "
      "(exit 130)");
  watch->add_option("FOLDER", watch_options.folder, "the folder the pictures arrive in")
      ->required();
  watch->add_option("-o,--output", watch_options.output, "the composite to write")->required();
  watch->add_flag("--clear", watch_options.clear,
                  "clear the buffer and add the pictures already in FOLDER, in name order, first "
                  "(without it the current buffer is continued)");
  watch->add_flag("--align", watch_options.align,
                  "align each picture onto the first picture of the buffer before adding it, as "
                  "add --align does");
  watch->add_option("--count", watch_options.count.emplace(), "end after N added pictures")
      ->check(CLI::PositiveNumber);
  watch->footer(
      "A picture is taken once it is closed after writing or renamed into FOLDER; hidden files "
      "(.name), names ending in .part, .tmp, .crdownload or ~, and other extensions are "
      "ignored; pictures arriving together are added in name order. One line per picture: its "
      "name, its number, the time taken and with --align what was done to it. A picture that "
      "cannot be read or aligned is reported and skipped. OUT is replaced whole each time "
      "(written aside, then renamed), so a viewer never sees half a file. The buffer stays "
      "locked for the whole watch.");

  std::string demo_dir = "sharpstack-demo";
  CLI::App* demo = app.add_subcommand(
      "demo",
      "generate a sample focus series, stack it, write DIR/composite.png and print its PSNR "
      "against the series' all-in-focus original; unless --root is given, its focus buffer is "
      "DIR/buffer");
  demo->add_option("DIR", demo_dir, "folder for the series and the composite")
      ->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return cli::kExitUsage;
  }

  auto usage = [](const std::string& text) {
    std::fprintf(stderr, "sharpstack: %s\n", text.c_str());
    return cli::kExitUsage;
  };
  // An empty folder name would quietly mean the default folder: a buffer
  // other than the one the user asked for.
  if (root_option->count() > 0 && root.empty())
    return usage("--root wants a folder, not an empty name");
  // Unset optionals were filled with emplace() for CLI11 to write into.
  if (like->count() == 0) show_options.like.reset();
  if (show->get_option("--depth")->count() == 0) show_options.depth.reset();
  if (run->get_option("--mask")->count() == 0) run_options.mask.reset();
  if (play->count() == 0) run_options.play.reset();
  if (run->get_option("--record")->count() == 0) run_options.record.reset();
  if (watch->get_option("--count")->count() == 0) watch_options.count.reset();

  // The demo stacks into a buffer of its own, so that trying it out never
  // replaces a buffer the user has been filling.
  if (root.empty() && *demo) root = demo_dir + "/buffer";
  if (!root.empty()) setenv("SHARPSTACK_ROOT", root.c_str(), 1);
  cli::InstallInterruptHandler();

  if (*clear) return cli::ClearCommand(settings);
  if (*add) return cli::AddCommand(settings, add_images, add_align);
  if (*show) {
    if (!show_size.empty()) {
      std::pair<int, int> parsed;
      if (!cli::ParseSize(show_size, &parsed))
        return usage("--size wants WIDTHxHEIGHT, each 1 to 32767, not '" + show_size + "'");
      show_options.size = parsed;
    }
    if (!show_background.empty() && !cli::ParseRgb(show_background, &show_options.background))
      return usage("--background wants R,G,B with each 0 to 255, not '" + show_background + "'");
    return cli::ShowCommand(settings, show_options);
  }
  if (*stack) return cli::StackCommand(settings, stack_output, stack_images, stack_align);
  if (*run) {
    if (!run_op.empty()) run_options.operation = run_op == "clear" ? 4 : run_op == "add" ? 5 : 6;
    if (!run_rect.empty()) {
      std::vector<int> rect;
      if (!cli::ParseRect(run_rect, &rect))
        return usage(
            "--rect wants LEFT,TOP,RIGHT,BOTTOM with LEFT < RIGHT and TOP < BOTTOM, not '" +
            run_rect + "'");
      run_options.rect = rect;
    }
    return cli::RunCommand(settings, run_options);
  }
  if (*watch) return cli::WatchCommand(settings, watch_options);
  if (*demo) return cli::DemoCommand(settings, demo_dir);
  return cli::kExitUsage;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The leak checker's standing exceptions: the plug-in's run state and its
// parameters handle live as long as the editor keeps the plug-in (here, the
// process), as the host interface intends. Every other block must be freed.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:NewRunStateBlock\n"
         "leak:DoParameters\n";
}
// Standard error belongs to the command's own messages.
extern "C" const char* __lsan_default_options() {
  return "print_suppressions=0";
}
#endif

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "sharpstack: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sharpstack: %s\n", e.what());
  }
  return cli::kExitError;
}
