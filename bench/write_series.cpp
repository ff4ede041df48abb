// Writes a synthetic focus series as TIFF files, for comparisons with other
// focus stackers:
//
//   sharpstack_write_series <folder> <width> <height> <frames> <8|16> [moved]
//
// With "moved" the frames are moved as a hand-held camera with focus breathing
// moves them (magnification growing to 1.03, shifts up to 10 pixels, turns up
// to 0.3 degrees), for `stack --align`.
//
// The frames are <folder>/frame_00.tif, frame_01.tif, ... (RGB, deflate), and
// the all-in-focus scene <folder>/sharp.tif.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "cli/image/image_io.h"
#include "tools/series/series.h"

int main(int argc, char** argv) {
  if (argc != 6 && !(argc == 7 && std::string(argv[6]) == "moved")) {
    std::fprintf(stderr, "usage: %s <folder> <width> <height> <frames> <8|16> [moved]\n", argv[0]);
    return 2;
  }
  series::SeriesOptions options;
  options.width = std::atoi(argv[2]);
  options.height = std::atoi(argv[3]);
  options.frames = std::atoi(argv[4]);
  options.depth = std::atoi(argv[5]);
  options.colorPlanes = 3;
  if (argc == 7) options.motions = series::HandHeldMotions(options.frames, 1.03, 10, 0.3, 1);
  const std::string folder = argv[1];
  try {
    const series::FocusSeries made = series::MakeFocusSeries(options);
    auto write = [](const std::string& path, const host::Picture& picture) {
      const imageio::Status status = imageio::WriteImage(path, picture);
      if (!status.ok) {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), status.message.c_str());
        return false;
      }
      return true;
    };
    for (std::size_t k = 0; k < made.frames.size(); ++k) {
      char name[32];
      std::snprintf(name, sizeof name, "/frame_%02zu.tif", k);
      if (!write(folder + name, made.frames[k])) return 1;
    }
    if (!write(folder + "/sharp.tif", made.sharp)) return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
