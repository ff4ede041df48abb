// Alignment with OpenCV: the enhanced correlation coefficient match (ECC) of
// the video module estimates the map, imgproc reduces and resamples.
#include "cli/align/align.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <system_error>

#include "cli/align/cubic_warp.h"

namespace cli::align {
namespace {

// Pictures are matched with their long side at most this long and at most
// this many pixels: enough for a few hundredths of a pixel, and the match of
// a large picture costs less than resampling it.
constexpr int kMaxMatchSide = 2048;
constexpr double kMaxMatchPixels = 1.25e6;
// The coarsest level of the match keeps its long side at least this long.
constexpr int kMinLevelSide = 256;
// The finest level compares the pictures smoothed a little more (Gaussian
// kernel size), so that the detail that focus adds or takes away between
// neighbours weighs less than the edges they share.
constexpr int kFinestSmoothing = 9;
// A map that moves no corner this far is the identity.
constexpr double kIdentityTolerance = 0.02;
// A picture whose match moves no corner this far (in pixels of the match's
// resolution) from where the previous picture went has not moved: it gets the
// previous picture's map exactly. Neighbours focused apart differ in blur, and
// where the blur changes across the scene their edges seem to move a little:
// on series that never moved, blurred up to 10 pixels, neighbours match up to
// 0.15 pixel apart, always the same way, so chaining those would drift a still
// series off the identity by a tenth of a pixel within eight pictures and
// resample it. A camera moving this little per picture is not followed (its
// creep adds up unseen); hand-held shots and focus breathing move neighbours
// by whole pixels.
constexpr double kStillTolerance = 0.25;
// Below this correlation with the previous picture, or this share of the
// picture over it, the pictures do not show one scene.
constexpr double kMinCorrelation = 0.5;
constexpr double kMinOverlap = 0.5;
// Magnifications beyond these come from no focus breathing or hand-held shot.
constexpr double kMinScale = 0.67;
constexpr double kMaxScale = 1.5;
// The bicubic kernel reads one sample before and two after the one below the
// position; OpenCV rounds positions to 1/32 pixel, so keep a little more.
constexpr double kKernelBefore = 1.0 + 1.0 / 32;
constexpr double kKernelAfter = 2.0 + 1.0 / 32;

constexpr char kMagic[8] = {'S', 'S', 'A', 'L', 'I', 'G', 'N', '1'};

cv::Matx33d ToMatrix(const Transform& t) {
  return {t.m[0], t.m[1], t.m[2], t.m[3], t.m[4], t.m[5], 0, 0, 1};
}

Transform FromMatrix(const cv::Matx33d& a) {
  return Transform{{a(0, 0), a(0, 1), a(0, 2), a(1, 0), a(1, 1), a(1, 2)}};
}

// From a picture's pixels to those of its copy resized to w x h (pixel
// centres at whole coordinates, as resize and warpAffine place them).
cv::Matx33d Resizing(int fromWidth, int fromHeight, int w, int h) {
  const double kx = double(w) / fromWidth, ky = double(h) / fromHeight;
  return {kx, 0, 0.5 * kx - 0.5, 0, ky, 0.5 * ky - 0.5, 0, 0, 1};
}

cv::Size MatchSize(int width, int height) {
  const double f = std::min({1.0, double(kMaxMatchSide) / std::max(width, height),
                             std::sqrt(kMaxMatchPixels / (double(width) * height))});
  return {std::max(1, int(std::lround(width * f))), std::max(1, int(std::lround(height * f)))};
}

cv::Mat Wrap(const host::Picture& picture) {
  return cv::Mat(picture.height, picture.width,
                 CV_MAKETYPE(picture.depth == 16 ? CV_16U : CV_8U, picture.planes),
                 const_cast<std::uint8_t*>(picture.data.data()), picture.RowBytes());
}

// The picture reduced to `size`, as grey 0..1 (transparency ignored).
cv::Mat ReducedGrey(const host::Picture& picture, cv::Size size) {
  cv::Mat source = Wrap(picture), reduced;
  if (size == source.size()) {
    reduced = source;
  } else {
    cv::resize(source, reduced, size, 0, 0, cv::INTER_AREA);
  }
  const double white = picture.depth == 16 ? 32768.0 : 255.0;
  cv::Mat weights = cv::Mat::zeros(1, picture.planes, CV_32F);
  if (picture.colorPlanes == 3) {
    weights.at<float>(0) = float(0.299 / white);
    weights.at<float>(1) = float(0.587 / white);
    weights.at<float>(2) = float(0.114 / white);
  } else {
    weights.at<float>(0) = float(1.0 / white);
  }
  cv::Mat as_float, grey;
  reduced.convertTo(as_float, CV_32F);
  cv::transform(as_float, grey, weights);
  return grey;
}

// 255 where the bicubic kernel around the source position of a pixel lies
// wholly inside the source; `toSource` maps the result's pixels to the
// source's.
void Coverage(const cv::Matx33d& toSource, int sourceWidth, int sourceHeight, int width, int height,
              std::uint8_t selected, std::uint8_t* out) {
  const double low = kKernelBefore, highX = sourceWidth - kKernelAfter,
               highY = sourceHeight - kKernelAfter;
  const double ax = toSource(0, 0), ay = toSource(1, 0);
  // Along a row each source coordinate is linear in x, so the selected pixels
  // are one run, found from where each coordinate enters and leaves its range.
  for (int y = 0; y < height; ++y) {
    const double bx = toSource(0, 1) * y + toSource(0, 2);
    const double by = toSource(1, 1) * y + toSource(1, 2);
    double first = 0, last = width - 1;
    auto limit = [&](double a, double b, double lo, double hi) {
      if (std::abs(a) < 1e-12) {
        if (b < lo || b > hi) first = 1, last = 0;
        return;
      }
      double from = (lo - b) / a, to = (hi - b) / a;
      if (from > to) std::swap(from, to);
      first = std::max(first, from);
      last = std::min(last, to);
    };
    limit(ax, bx, low, highX);
    limit(ay, by, low, highY);
    std::uint8_t* row = out + std::size_t(y) * std::size_t(width);
    std::memset(row, 0, std::size_t(width));
    // Whole pixels inside the run, checked again at its ends against rounding.
    auto inside = [&](int x) {
      const double sx = ax * x + bx, sy = ay * x + by;
      return sx >= low && sx <= highX && sy >= low && sy <= highY;
    };
    if (first > last) continue;
    int begin = std::max(0, int(std::ceil(first)) - 1), end = std::min(width - 1, int(last) + 1);
    while (begin <= end && !inside(begin)) ++begin;
    while (end >= begin && !inside(end)) --end;
    if (begin <= end) std::memset(row + begin, selected, std::size_t(end - begin + 1));
  }
}

// The similarity (shift, turn, uniform scale) nearest to an affine map, taking
// the point c where the map takes it.
cv::Matx33d NearestSimilarity(const cv::Matx33d& a, double cx, double cy) {
  const double p = (a(0, 0) + a(1, 1)) / 2, q = (a(1, 0) - a(0, 1)) / 2;
  const double x = a(0, 0) * cx + a(0, 1) * cy + a(0, 2);
  const double y = a(1, 0) * cx + a(1, 1) * cy + a(1, 2);
  return {p, -q, x - (p * cx - q * cy), q, p, y - (q * cx + p * cy), 0, 0, 1};
}

// Coarse to fine ECC: `match` maps the pixels of `tmpl` to those of `input`
// and starts as the guess. Returns the correlation of the finest level.
double MatchCoarseToFine(const cv::Mat& tmpl, const cv::Mat& input, const cv::Mat& mask,
                         cv::Matx33d* match) {
  std::vector<cv::Mat> tmpls{tmpl}, inputs{input}, masks{mask};
  while (std::max(tmpls.back().cols, tmpls.back().rows) / 2 >= kMinLevelSide) {
    cv::Mat t, i, m;
    auto half = [](const cv::Mat& a) { return cv::Size((a.cols + 1) / 2, (a.rows + 1) / 2); };
    cv::resize(tmpls.back(), t, half(tmpls.back()), 0, 0, cv::INTER_AREA);
    cv::resize(inputs.back(), i, half(inputs.back()), 0, 0, cv::INTER_AREA);
    cv::resize(masks.back(), m, half(masks.back()), 0, 0, cv::INTER_NEAREST);
    tmpls.push_back(t);
    inputs.push_back(i);
    masks.push_back(m);
  }
  double correlation = 0;
  for (std::size_t level = tmpls.size(); level-- > 0;) {
    const cv::Matx33d toT = Resizing(tmpl.cols, tmpl.rows, tmpls[level].cols, tmpls[level].rows);
    const cv::Matx33d toI =
        Resizing(input.cols, input.rows, inputs[level].cols, inputs[level].rows);
    const cv::Matx33d at_level = toI * *match * toT.inv();
    cv::Mat warp(2, 3, CV_32F);
    for (int r = 0; r < 2; ++r)
      for (int c = 0; c < 3; ++c) warp.at<float>(r, c) = float(at_level(r, c));
    const bool finest = level == 0;
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS,
                                    finest ? 20 : 30, finest ? 3e-5 : 1e-4);
    correlation = cv::findTransformECC(tmpls[level], inputs[level], warp, cv::MOTION_AFFINE,
                                       criteria, masks[level], finest ? kFinestSmoothing : 5);
    cv::Matx33d found = cv::Matx33d::eye();
    for (int r = 0; r < 2; ++r)
      for (int c = 0; c < 3; ++c) found(r, c) = warp.at<float>(r, c);
    *match = toI.inv() * found * toT;
    // The affine map's extra freedom (stretch and shear) only follows the
    // focus moving through the scene, not the camera: keep the similarity.
    *match = NearestSimilarity(*match, (tmpl.cols - 1) / 2.0, (tmpl.rows - 1) / 2.0);
  }
  return correlation;
}

template <typename T>
void Put(std::ofstream& out, const T& value) {
  out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
bool Take(std::ifstream& in, T* value) {
  return bool(in.read(reinterpret_cast<char*>(value), sizeof *value));
}

std::string Format(const char* format, double a, double b = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// The largest distance between where two maps take a corner of a width x
// height picture.
double CornerGap(const cv::Matx33d& a, const cv::Matx33d& b, int width, int height) {
  double worst = 0;
  for (double x : {0.0, double(width - 1)})
    for (double y : {0.0, double(height - 1)}) {
      const cv::Vec3d d = (a - b) * cv::Vec3d(x, y, 1);
      worst = std::max(worst, std::hypot(d[0], d[1]));
    }
  return worst;
}

// Rounds values that would print as "-0.0" to zero.
double Tidy(double v, double step) {
  return std::abs(v) < step / 2 ? 0.0 : v;
}

}  // namespace

double Transform::CornerMotion(int width, int height) const {
  return CornerGap(ToMatrix(*this), cv::Matx33d::eye(), width, height);
}

std::string Transform::Describe(int width, int height) const {
  const double scale = std::sqrt(std::abs(m[0] * m[4] - m[1] * m[3]));
  const double angle = std::atan2(m[3] - m[1], m[0] + m[4]) * 180.0 / std::numbers::pi;
  const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
  const double dx = m[0] * cx + m[1] * cy + m[2] - cx, dy = m[3] * cx + m[4] * cy + m[5] - cy;
  return Format("scale %.3f", scale) + Format(", angle %.2f\u00b0", Tidy(angle, 0.01)) +
         Format(", shift %.1f, %.1f px", Tidy(dx, 0.1), Tidy(dy, 0.1));
}

std::string StatePath(const std::string& bufferFolder) {
  return bufferFolder + "/AlignmentState.bin";
}

bool LoadState(const std::string& path, State* state, std::string* error) {
  *state = State{};
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) return true;
    *error = "cannot read the alignment state '" + path + "'";
    return false;
  }
  char magic[sizeof kMagic];
  State s;
  std::int32_t fields[5] = {};
  bool ok = Take(in, &magic) && std::memcmp(magic, kMagic, sizeof kMagic) == 0 &&
            Take(in, &fields) && Take(in, &s.last.m);
  s.referenceWidth = fields[0];
  s.referenceHeight = fields[1];
  s.pictures = fields[2];
  s.reducedWidth = fields[3];
  s.reducedHeight = fields[4];
  const cv::Size expected = MatchSize(s.referenceWidth, s.referenceHeight);
  ok = ok && s.referenceWidth > 0 && s.referenceHeight > 0 && s.pictures > 0 &&
       s.referenceWidth <= 1 << 16 && s.referenceHeight <= 1 << 16 &&
       expected == cv::Size(s.reducedWidth, s.reducedHeight);
  if (ok) {
    const std::size_t n = std::size_t(s.reducedWidth) * std::size_t(s.reducedHeight);
    s.image.resize(n);
    s.valid.resize(n);
    ok = bool(in.read(reinterpret_cast<char*>(s.image.data()), std::streamsize(n * 4))) &&
         bool(in.read(reinterpret_cast<char*>(s.valid.data()), std::streamsize(n))) &&
         in.peek() == std::ifstream::traits_type::eof();
  }
  if (!ok) {
    *error =
        "the alignment state '" + path + "' is damaged; clear the focus buffer and start again";
    return false;
  }
  *state = std::move(s);
  return true;
}

bool SaveState(const std::string& path, const State& state, std::string* error) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    Put(out, kMagic);
    const std::int32_t fields[5] = {state.referenceWidth, state.referenceHeight, state.pictures,
                                    state.reducedWidth, state.reducedHeight};
    Put(out, fields);
    Put(out, state.last.m);
    out.write(reinterpret_cast<const char*>(state.image.data()),
              std::streamsize(state.image.size() * 4));
    out.write(reinterpret_cast<const char*>(state.valid.data()),
              std::streamsize(state.valid.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      *error = "cannot write the alignment state '" + path + "'";
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    *error = "cannot write the alignment state '" + path + "'";
    return false;
  }
  return true;
}

bool RemoveState(const std::string& path, std::string* error) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (ec) {
    *error = "cannot delete the alignment state '" + path + "': " + ec.message();
    return false;
  }
  return true;
}

bool Estimate(const host::Picture& picture, State* state, Transform* transform,
              std::string* error) {
  const cv::Size size = MatchSize(picture.width, picture.height);
  const cv::Mat grey = ReducedGrey(picture, size);
  const std::size_t n = std::size_t(size.area());
  auto keep = [&](const cv::Mat& image, const Transform& t) {
    state->last = t;
    state->image.assign(image.ptr<float>(), image.ptr<float>() + n);
    state->valid.assign(n, 1);
    state->pictures++;
  };
  if (state->referenceWidth == 0) {
    *state = State{};
    state->referenceWidth = picture.width;
    state->referenceHeight = picture.height;
    state->reducedWidth = size.width;
    state->reducedHeight = size.height;
    *transform = Transform{};
    keep(grey, *transform);
    return true;
  }
  const cv::Size reduced(state->reducedWidth, state->reducedHeight);
  cv::Mat previous(reduced, CV_32F, state->image.data());
  cv::Mat valid(reduced, CV_8U, state->valid.data());
  const cv::Matx33d toPicture = Resizing(picture.width, picture.height, size.width, size.height);
  const cv::Matx33d toReference =
      Resizing(state->referenceWidth, state->referenceHeight, reduced.width, reduced.height);
  // The last picture's map is the guess: neighbours in a series move little.
  const cv::Matx33d guess = toReference * ToMatrix(state->last) * toPicture.inv();
  cv::Matx33d match = guess;
  double correlation = 0;
  try {
    correlation = MatchCoarseToFine(grey, previous, valid, &match);
  } catch (const cv::Exception&) {
    *error = "the match with the previous picture did not converge";
    return false;
  }
  const double scale = std::sqrt(std::abs(match(0, 0) * match(1, 1) - match(0, 1) * match(1, 0)));
  if (!std::isfinite(correlation) || !(scale >= kMinScale && scale <= kMaxScale)) {
    *error = "the match with the previous picture did not converge";
    return false;
  }
  // The share of the picture that lands where the previous one was.
  std::vector<std::uint8_t> landed(n);
  Coverage(match, reduced.width, reduced.height, size.width, size.height, 1, landed.data());
  cv::Mat lands(size, CV_8U, landed.data()), over;
  cv::warpAffine(valid, over, cv::Matx23d(match.val), size,
                 cv::INTER_NEAREST | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT, 0);
  const double overlap = double(cv::countNonZero(over & lands)) / double(n);
  if (overlap < kMinOverlap) {
    *error = Format("only %.0f%% of it overlaps the previous picture", overlap * 100);
    return false;
  }
  if (correlation < kMinCorrelation) {
    *error = Format("it matches the previous picture too poorly (correlation %.2f)", correlation);
    return false;
  }
  Transform found = FromMatrix(toReference.inv() * match * toPicture);
  if (CornerGap(match, guess, size.width, size.height) < kStillTolerance) {
    found = state->last;
    match = guess;
  }
  if (picture.width == state->referenceWidth && picture.height == state->referenceHeight &&
      found.CornerMotion(picture.width, picture.height) < kIdentityTolerance) {
    *transform = Transform{};
    keep(grey, *transform);
    return true;
  }
  *transform = found;
  // The next picture is matched against this one in the reference's geometry.
  cv::Mat moved;
  const cv::Matx33d back = match.inv();
  cv::warpAffine(grey, moved, cv::Matx23d(back.val), reduced,
                 cv::INTER_CUBIC | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
  keep(moved, found);
  Coverage(back, size.width, size.height, reduced.width, reduced.height, 1, state->valid.data());
  return true;
}

void Warp(const host::Picture& picture, const Transform& transform, int width, int height,
          host::Picture* warped, std::vector<std::uint8_t>* selection) {
  warped->Allocate(width, height, picture.colorPlanes, picture.planes - picture.colorPlanes,
                   picture.depth, false);
  const cv::Matx33d back = ToMatrix(transform).inv();
  cv::Mat out = Wrap(*warped);
  if (picture.planes == 3) {
    // The same samples as the library's warp below, several times faster.
    const CubicWarpArgs args{
        picture.data.data(), picture.width, picture.height,     picture.RowBytes(),
        warped->data.data(), width,         warped->RowBytes(), back.val,
        picture.depth};
    cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& rows) {
      CubicWarpRows(args, rows.start, rows.end, true);
    });
  } else {
    cv::warpAffine(Wrap(picture), out, cv::Matx23d(back.val), out.size(),
                   cv::INTER_CUBIC | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
  }
  if (picture.depth == 16) {
    // The bicubic overshoot may pass the host scale's white.
    cv::min(out, cv::Scalar::all(32768), out);
  }
  selection->resize(std::size_t(width) * std::size_t(height));
  Coverage(back, picture.width, picture.height, width, height, 255, selection->data());
}

bool AlignPicture(host::Picture* picture, State* state, host::Picture* scratch,
                  std::vector<std::uint8_t>* selection, std::string* note, std::string* error) {
  State next = *state;
  Transform transform;
  if (!Estimate(*picture, &next, &transform, error)) return false;
  selection->clear();
  *note = "aligned: " + transform.Describe(picture->width, picture->height);
  if (!transform.IsIdentity()) {
    Warp(*picture, transform, next.referenceWidth, next.referenceHeight, scratch, selection);
    std::swap(*picture, *scratch);
  }
  *state = std::move(next);
  return true;
}

}  // namespace cli::align
