// Synthetic focus series: scene, depth map, defocus by depth, and PSNR.
//
// Defocus is approximated by gathering: the whole scene is blurred once per
// whole-pixel radius 0..R (a three-pass box blur of radius r, close to a
// Gaussian of sigma sqrt(r (r + 1))), and each pixel of a frame blends the two
// levels around its own radius |depth - focus| x maxBlurRadius. Every level is
// computed once and shared by all frames.
#include "tools/series/series.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace series {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

std::uint64_t SplitMix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A reproducible number in [0, 1) for (seed, salt, x, y).
double Hash01(std::uint32_t seed, std::uint32_t salt, std::int64_t x, std::int64_t y) {
  std::uint64_t h = SplitMix((std::uint64_t(seed) << 32) | salt);
  h = SplitMix(h ^ std::uint64_t(x));
  h = SplitMix(h ^ (std::uint64_t(y) * 0x632BE59BD9B4E019ull));
  return double(h >> 11) * 0x1.0p-53;
}

// Floor division, so that texture cells continue across zero.
std::int64_t Cell(int v, int size) {
  return v >= 0 ? v / size : (v - size + 1) / size;
}

// The sharp scene as floats 0..1, interleaved by plane (colour planes only).
std::vector<float> MakeScene(int width, int height, int planes, std::uint32_t seed) {
  // Per-channel smooth colour, then a texture that is shared by the channels
  // (with per-channel gain) so that colour pictures have real edges in every
  // channel: per-pixel noise, 2 x 2 cells and thin lines every 8 pixels.
  double frequencyX[3], frequencyY[3], phase[3], gain[3];
  for (int c = 0; c < 3; ++c) {
    frequencyX[c] = 0.5 + Hash01(seed, 100 + c, 0, 0);
    frequencyY[c] = 0.5 + Hash01(seed, 110 + c, 0, 0);
    phase[c] = kTwoPi * Hash01(seed, 120 + c, 0, 0);
    gain[c] = 0.7 + 0.3 * Hash01(seed, 130 + c, 0, 0);
  }
  const int lineOffsetX = int(Hash01(seed, 140, 0, 0) * 8);
  const int lineOffsetY = int(Hash01(seed, 141, 0, 0) * 8);

  std::vector<float> scene(std::size_t(width) * height * planes);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double fine = Hash01(seed, 1, x, y) - 0.5;
      const double coarse = Hash01(seed, 2, Cell(x, 2), Cell(y, 2)) - 0.5;
      const bool line = (x + lineOffsetX) % 8 == 0 || (y + lineOffsetY) % 8 == 0;
      const double texture = 0.30 * fine + 0.25 * coarse + (line ? 0.12 : 0.0);
      const double u = double(x) / width;
      const double v = double(y) / height;
      for (int c = 0; c < planes; ++c) {
        const double base =
            0.5 + 0.18 * std::sin(kTwoPi * (frequencyX[c] * u + frequencyY[c] * v) + phase[c]);
        const double value = std::clamp(base + gain[c] * texture, 0.0, 1.0);
        scene[(std::size_t(y) * width + x) * planes + c] = float(value);
      }
    }
  }
  return scene;
}

// One box pass of radius r along a line of n samples `stride` apart, edges
// clamped: out[i] = mean of in[clamp(i - r .. i + r)].
void BoxLine(const float* in, float* out, int n, std::ptrdiff_t stride, int r) {
  auto at = [&](int i) { return double(in[std::ptrdiff_t(std::clamp(i, 0, n - 1)) * stride]); };
  double sum = 0;
  for (int i = -r; i <= r; ++i) sum += at(i);
  const double scale = 1.0 / (2 * r + 1);
  for (int i = 0; i < n; ++i) {
    out[std::ptrdiff_t(i) * stride] = float(sum * scale);
    sum += at(i + r + 1) - at(i - r);
  }
}

// One box pass of radius r down every column at once (rows of `rowLength`
// samples), edges clamped; row by row so that memory is read in order.
void BoxColumns(const float* in, float* out, std::ptrdiff_t rowLength, int height, int r,
                std::vector<double>& sums) {
  auto row = [&](int y) { return in + std::ptrdiff_t(std::clamp(y, 0, height - 1)) * rowLength; };
  sums.assign(std::size_t(rowLength), 0.0);
  for (int i = -r; i <= r; ++i) {
    const float* source = row(i);
    for (std::ptrdiff_t j = 0; j < rowLength; ++j) sums[std::size_t(j)] += source[j];
  }
  const double scale = 1.0 / (2 * r + 1);
  for (int y = 0; y < height; ++y) {
    float* target = out + std::ptrdiff_t(y) * rowLength;
    const float* entering = row(y + r + 1);
    const float* leaving = row(y - r);
    for (std::ptrdiff_t j = 0; j < rowLength; ++j) {
      target[j] = float(sums[std::size_t(j)] * scale);
      sums[std::size_t(j)] += double(entering[j]) - double(leaving[j]);
    }
  }
}

// Working memory of Blur, kept across levels: fresh allocations of this size
// cost more in page faults than the blur itself.
struct BlurBuffers {
  std::vector<float> result;
  std::vector<float> scratch;
  std::vector<double> sums;
};

// Three box passes of radius r in each direction over interleaved planes, into
// buffers.result.
void Blur(const std::vector<float>& image, int width, int height, int planes, int r,
          BlurBuffers& buffers) {
  std::vector<float>& a = buffers.result;
  std::vector<float>& b = buffers.scratch;
  a.assign(image.begin(), image.end());
  if (r <= 0) return;
  b.resize(a.size());
  const std::ptrdiff_t rowStride = std::ptrdiff_t(width) * planes;
  for (int pass = 0; pass < 3; ++pass) {
    for (int y = 0; y < height; ++y) {
      for (int c = 0; c < planes; ++c) {
        BoxLine(&a[y * rowStride + c], &b[y * rowStride + c], width, planes, r);
      }
    }
    BoxColumns(b.data(), a.data(), rowStride, height, r, buffers.sums);
  }
}

// Floats 0..1 into a picture at its depth, plus the opaque extra plane if any.
host::Picture ToPicture(const std::vector<float>& image, const SeriesOptions& options) {
  host::Picture picture;
  picture.Allocate(options.width, options.height, options.colorPlanes, options.transparency ? 1 : 0,
                   options.depth);
  const double white = options.depth == 16 ? 32768.0 : 255.0;
  for (int y = 0; y < options.height; ++y) {
    for (int x = 0; x < options.width; ++x) {
      for (int c = 0; c < options.colorPlanes; ++c) {
        const double v =
            image[(std::size_t(y) * options.width + x) * options.colorPlanes + c] * white;
        picture.Set(x, y, c, std::uint32_t(std::clamp(std::lround(v), 0L, long(white))));
      }
      if (options.transparency) picture.Set(x, y, options.colorPlanes, std::uint32_t(white));
    }
  }
  return picture;
}

// Keys' cubic convolution weights (a = -0.5) for a sample at fraction t past
// the second of four neighbours.
void CubicWeights(double t, double w[4]) {
  const double a = -0.5;
  auto near = [&](double d) { return ((a + 2) * d - (a + 3)) * d * d + 1; };
  auto far = [&](double d) { return ((a * d - 5 * a) * d + 8 * a) * d - 4 * a; };
  w[0] = far(1 + t);
  w[1] = near(t);
  w[2] = near(1 - t);
  w[3] = far(2 - t);
}

// Resamples an interleaved float image so that pixel x shows the input at
// FrameToReference(x), bicubic, the edges extended.
std::vector<float> MoveImage(const std::vector<float>& image, int width, int height, int planes,
                             const Affine& m) {
  std::vector<float> moved(image.size());
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double sx = m[0] * x + m[1] * y + m[2];
      const double sy = m[3] * x + m[4] * y + m[5];
      const double fx = std::floor(sx), fy = std::floor(sy);
      double wx[4], wy[4];
      CubicWeights(sx - fx, wx);
      CubicWeights(sy - fy, wy);
      for (int c = 0; c < planes; ++c) {
        double sum = 0;
        for (int j = 0; j < 4; ++j) {
          const int row = std::clamp(int(fy) - 1 + j, 0, height - 1);
          double line = 0;
          for (int i = 0; i < 4; ++i) {
            const int column = std::clamp(int(fx) - 1 + i, 0, width - 1);
            line += wx[i] * image[(std::size_t(row) * width + column) * planes + c];
          }
          sum += wy[j] * line;
        }
        moved[(std::size_t(y) * width + x) * planes + c] = float(sum);
      }
    }
  }
  return moved;
}

void Validate(const SeriesOptions& options) {
  if (options.width < 1 || options.height < 1) throw std::invalid_argument("size below 1");
  if (options.width > 30000 || options.height > 30000) {
    throw std::invalid_argument("size beyond the host's 16-bit coordinates");
  }
  if (options.depth != 8 && options.depth != 16) throw std::invalid_argument("depth not 8 or 16");
  if (options.colorPlanes != 1 && options.colorPlanes != 3) {
    throw std::invalid_argument("colour planes not 1 or 3");
  }
  if (options.frames < 1) throw std::invalid_argument("no frames");
  if (!(options.maxBlurRadius >= 0) || options.maxBlurRadius > 1000) {
    throw std::invalid_argument("blur radius out of range");
  }
  if (!options.motions.empty() && options.motions.size() != std::size_t(options.frames)) {
    throw std::invalid_argument("motions not one per frame");
  }
  for (const Motion& motion : options.motions) {
    if (!(motion.scale > 0)) throw std::invalid_argument("motion scale not positive");
  }
}

}  // namespace

Affine FrameToReference(const Motion& motion, int width, int height) {
  // A frame pixel x shows the scene point p with x = c + s R (p - c) + t, so
  // p = c + R^-1 (x - c - t) / s.
  const double turn = motion.angleDegrees * std::numbers::pi / 180.0;
  const double c = std::cos(turn) / motion.scale, s = std::sin(turn) / motion.scale;
  const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
  const double ux = cx + motion.shiftX, uy = cy + motion.shiftY;
  return {c, s, cx - (c * ux + s * uy), -s, c, cy - (-s * ux + c * uy)};
}

std::vector<Motion> HandHeldMotions(int frames, double lastScale, double maxShift,
                                    double maxTurnDegrees, std::uint32_t seed) {
  std::vector<Motion> motions(std::size_t(std::max(frames, 0)));
  for (int k = 1; k < frames; ++k) {
    Motion& m = motions[std::size_t(k)];
    m.scale = 1.0 + (lastScale - 1.0) * k / (frames - 1);
    m.angleDegrees = maxTurnDegrees * (2 * Hash01(seed, 300, k, 0) - 1);
    m.shiftX = maxShift * (2 * Hash01(seed, 301, k, 0) - 1);
    m.shiftY = maxShift * (2 * Hash01(seed, 302, k, 0) - 1);
  }
  return motions;
}

std::vector<float> MakeDepthMap(int width, int height, std::uint32_t seed) {
  if (width < 1 || height < 1) return {};
  // A tilted plane so that every depth occurs, bent by one smooth wave.
  const double angle = kTwoPi * Hash01(seed, 200, 0, 0);
  const double waveX = 0.5 + 0.75 * Hash01(seed, 201, 0, 0);
  const double waveY = 0.5 + 0.75 * Hash01(seed, 202, 0, 0);
  const double phaseX = Hash01(seed, 203, 0, 0);
  const double phaseY = Hash01(seed, 204, 0, 0);
  std::vector<double> raw(std::size_t(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double u = width > 1 ? double(x) / (width - 1) : 0.5;
      const double v = height > 1 ? double(y) / (height - 1) : 0.5;
      raw[std::size_t(y) * width + x] =
          std::cos(angle) * u + std::sin(angle) * v +
          0.35 * std::sin(kTwoPi * (waveX * u + phaseX)) * std::cos(kTwoPi * (waveY * v + phaseY));
    }
  }
  const auto [low, high] = std::minmax_element(raw.begin(), raw.end());
  const double lowest = *low;
  const double range = *high - lowest;
  std::vector<float> depth(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    depth[i] = range > 1e-12 ? float((raw[i] - lowest) / range) : 0.5f;
  }
  return depth;
}

FocusSeries MakeFocusSeries(const SeriesOptions& options) {
  Validate(options);
  const int w = options.width;
  const int h = options.height;
  const int planes = options.colorPlanes;
  const std::size_t pixels = std::size_t(w) * h;

  FocusSeries result;
  result.depthMap = MakeDepthMap(w, h, options.seed);
  for (int k = 0; k < options.frames; ++k) {
    result.focus.push_back(options.frames > 1 ? double(k) / (options.frames - 1) : 0.5);
  }
  const std::vector<float> scene = MakeScene(w, h, planes, options.seed);
  result.sharp = ToPicture(scene, options);

  // Each pixel of each frame blends the blur levels around its own radius with
  // tent weights (they sum to 1 for every radius from 0 to the last level).
  const int levels = int(std::ceil(options.maxBlurRadius)) + 1;
  std::vector<std::vector<float>> frames(std::size_t(options.frames),
                                         std::vector<float>(scene.size(), 0.0f));
  BlurBuffers buffers;
  for (int level = 0; level < levels; ++level) {
    Blur(scene, w, h, planes, level, buffers);
    const std::vector<float>& blurred = buffers.result;
    for (int k = 0; k < options.frames; ++k) {
      std::vector<float>& frame = frames[std::size_t(k)];
      for (std::size_t p = 0; p < pixels; ++p) {
        const double radius =
            std::abs(result.depthMap[p] - result.focus[std::size_t(k)]) * options.maxBlurRadius;
        const double weight = 1.0 - std::abs(radius - level);
        if (weight <= 0) continue;
        for (int c = 0; c < planes; ++c) {
          frame[p * planes + c] += float(weight) * blurred[p * planes + c];
        }
      }
    }
  }
  for (std::size_t k = 0; k < frames.size(); ++k) {
    if (!options.motions.empty()) {
      frames[k] = MoveImage(frames[k], w, h, planes, FrameToReference(options.motions[k], w, h));
    }
    result.frames.push_back(ToPicture(frames[k], options));
  }
  return result;
}

namespace {

bool Comparable(const host::Picture& a, const host::Picture& b) {
  if (a.width != b.width || a.height != b.height || a.depth != b.depth || a.planes != b.planes ||
      (a.depth != 8 && a.depth != 16)) {
    return false;
  }
  const std::size_t samples = std::size_t(a.width) * a.height * a.planes;
  return samples != 0 && a.data.size() >= samples * a.BytesPerSample() &&
         b.data.size() >= samples * b.BytesPerSample();
}

// PSNR from the sum of squared differences over every sample of `a`.
double PsnrOfSum(const host::Picture& a, double sum) {
  if (sum == 0) return std::numeric_limits<double>::infinity();
  const double samples = double(a.width) * a.height * a.planes;
  const double peak = a.depth == 16 ? 32768.0 : 255.0;
  return 10.0 * std::log10(peak * peak / (sum / samples));
}

}  // namespace

double Psnr(const host::Picture& a, const host::Picture& b) {
  if (!Comparable(a, b)) return std::numeric_limits<double>::quiet_NaN();
  double sum = 0;
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) {
      for (int k = 0; k < a.planes; ++k) {
        const double d = double(a.Get(x, y, k)) - double(b.Get(x, y, k));
        sum += d * d;
      }
    }
  }
  return PsnrOfSum(a, sum);
}

double PsnrMatchingLevels(const host::Picture& test, const host::Picture& reference) {
  if (!Comparable(test, reference)) return std::numeric_limits<double>::quiet_NaN();
  const double n = double(test.width) * test.height;
  double sum = 0;
  for (int k = 0; k < test.planes; ++k) {
    // Means first, then centred sums: the sums of squares of whole 16-bit
    // pictures would lose the residual to rounding.
    double meanTest = 0, meanReference = 0;
    for (int y = 0; y < test.height; ++y) {
      for (int x = 0; x < test.width; ++x) {
        meanTest += test.Get(x, y, k);
        meanReference += reference.Get(x, y, k);
      }
    }
    meanTest /= n;
    meanReference /= n;
    double covariance = 0, variance = 0;
    for (int y = 0; y < test.height; ++y) {
      for (int x = 0; x < test.width; ++x) {
        const double t = test.Get(x, y, k) - meanTest;
        covariance += t * (reference.Get(x, y, k) - meanReference);
        variance += t * t;
      }
    }
    // A flat plane can only be matched by its mean.
    const double gain = variance > 0 ? covariance / variance : 0.0;
    for (int y = 0; y < test.height; ++y) {
      for (int x = 0; x < test.width; ++x) {
        const double d =
            gain * (test.Get(x, y, k) - meanTest) - (reference.Get(x, y, k) - meanReference);
        sum += d * d;
      }
    }
  }
  return PsnrOfSum(test, sum);
}

}  // namespace series
