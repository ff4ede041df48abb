// How well `stack --align` puts a hand-held focus series back together: for
// synthetic series moved by known motions it prints the composite's PSNR
// against the all-in-focus scene when the frames are stacked as they are,
// aligned by us, and put back with their true motions; and whether the series
// never moved comes out of `--align` bit for bit as it does without.
//
//   sharpstack_align_check <folder> [width height frames [blur radius]]
//
// The folder receives the frames and a focus buffer of its own; the plug-in is
// the one beside this program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/app/command_support.h"
#include "cli/image/image_io.h"
#include "tools/series/series.h"

namespace {

// Stacks the files, each moved by its map first when `transforms` is given.
bool StackWithMaps(const cli::Settings& settings, const std::vector<std::string>& files,
                   const std::vector<cli::align::Transform>* transforms, int width, int height,
                   const std::string& output, const host::Picture& like) {
  cli::Context context(settings);
  cli::Runner runner(settings);
  if (!cli::LoadRunner(context, &runner) || cli::RunClear(context, &runner) != 0) return false;
  std::vector<cli::Placement> placements;
  if (transforms)
    for (const cli::align::Transform& t : *transforms) placements.push_back({t, width, height});
  host::Picture scratch;
  const cli::PictureSteps steps =
      transforms ? cli::WarpSteps(&placements, &scratch) : cli::PictureSteps{};
  return cli::AddPictures(context, &runner, files, false, steps) == 0 &&
         cli::ShowInto(context, &runner, output, width, height, like.depth, like.colorPlanes == 1,
                       cli::Rgb{}) == 0;
}

// The picture without a band of `margin` pixels along its edges.
host::Picture Inner(const host::Picture& picture, int margin) {
  host::Picture inner;
  inner.Allocate(picture.width - 2 * margin, picture.height - 2 * margin, picture.colorPlanes,
                 picture.planes - picture.colorPlanes, picture.depth);
  for (int y = 0; y < inner.height; ++y)
    std::memcpy(
        inner.Row(y),
        picture.Row(y + margin) + std::size_t(margin) * picture.planes * picture.BytesPerSample(),
        inner.RowBytes());
  return inner;
}

// PSNR over the whole picture and without the 32 pixels along the edges,
// which only some frames cover.
std::pair<double, double> Measure(const std::string& output, const host::Picture& sharp) {
  host::Picture composite;
  if (!imageio::ReadImage(output, &composite).ok) return {-1, -1};
  return {series::Psnr(composite, sharp), series::Psnr(Inner(composite, 32), Inner(sharp, 32))};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: %s <folder> [width height frames [blur radius]]\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const int width = argc >= 5 ? std::atoi(argv[2]) : 1200;
  const int height = argc >= 5 ? std::atoi(argv[3]) : 800;
  const int frames = argc >= 5 ? std::atoi(argv[4]) : 8;
  const double blur = argc == 6 ? std::atof(argv[5]) : series::SeriesOptions{}.maxBlurRadius;
  std::filesystem::create_directories(folder + "/buffer");
  setenv("SHARPSTACK_ROOT", (folder + "/buffer").c_str(), 1);
  cli::Settings settings;
  settings.quiet = true;
  settings.pluginPath = (std::filesystem::path(argv[0]).parent_path() / "Sharpstack.so").string();

  std::printf("PSNR in dB of the whole composite / of its inner part (32 px from the edges)\n");
  std::printf("%-5s %-5s %4s %13s %13s %13s %13s %6s %5s\n", "depth", "mode", "seed", "never moved",
              "unaligned", "aligned", "true maps", "gap", "exact");
  for (int depth : {8, 16}) {
    for (int planes : {3, 1}) {
      for (std::uint32_t seed : {1u, 2u}) {
        series::SeriesOptions options;
        options.width = width;
        options.height = height;
        options.frames = frames;
        options.depth = depth;
        options.colorPlanes = planes;
        options.seed = seed;
        options.maxBlurRadius = blur;
        const std::string output = folder + "/composite.png";
        std::pair<double, double> psnr[4] = {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}};
        bool exact = false;
        {
          const series::FocusSeries still = series::MakeFocusSeries(options);
          std::vector<std::string> files;
          for (int k = 0; k < frames; ++k) {
            files.push_back(folder + "/still_" + std::to_string(k) + ".png");
            if (!imageio::WriteImage(files.back(), still.frames[std::size_t(k)]).ok) return 1;
          }
          if (cli::StackCommand(settings, output, files) == 0)
            psnr[0] = Measure(output, still.sharp);
          // The series that never moved must come out of --align unchanged.
          const std::string alignedStill = folder + "/still_aligned.png";
          host::Picture plain, aligned;
          exact = cli::StackCommand(settings, alignedStill, files, true) == 0 &&
                  imageio::ReadImage(output, &plain).ok &&
                  imageio::ReadImage(alignedStill, &aligned).ok && plain.data == aligned.data;
        }
        options.motions = series::HandHeldMotions(frames, 1.03, 10, 0.3, seed);
        const series::FocusSeries made = series::MakeFocusSeries(options);
        std::vector<std::string> files;
        std::vector<cli::align::Transform> truth;
        for (int k = 0; k < frames; ++k) {
          files.push_back(folder + "/frame_" + std::to_string(k) + ".png");
          if (!imageio::WriteImage(files.back(), made.frames[std::size_t(k)]).ok) return 1;
          truth.push_back(
              {series::FrameToReference(options.motions[std::size_t(k)], width, height)});
        }
        if (StackWithMaps(settings, files, nullptr, width, height, output, made.sharp))
          psnr[1] = Measure(output, made.sharp);
        if (cli::StackCommand(settings, output, files, true) == 0)
          psnr[2] = Measure(output, made.sharp);
        if (StackWithMaps(settings, files, &truth, width, height, output, made.sharp))
          psnr[3] = Measure(output, made.sharp);
        std::printf("%-5d %-5s %4u", depth, planes == 3 ? "RGB" : "grey", seed);
        for (const auto& [whole, inner] : psnr) std::printf("  %5.2f / %5.2f", whole, inner);
        std::printf(" %6.2f %5s\n", psnr[3].first - psnr[2].first, exact ? "yes" : "NO");
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
