// Pictures, runs, host recordings, the buffer set in memory, and a whole-picture
// reference of Add and Show independent of the plug-in's row windows.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cli/hostlib/filter_host.h"
#include "cli/hostlib/picture.h"
#include "interface/filter_record.h"
#include "plugin/core/memory.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/focus/dispatch.h"
#include "plugin/focus/operation_choice.h"
#include "plugin/focus/test_hooks.h"
#include "plugin/params/parameter_block.h"
#include "plugin/platform/test_hooks.h"
#include "plugin/storage/store.h"
#include "support/temp_root.h"

namespace focustest {

// The hosts' pictures: interleaved samples, 0..255 or 0..32768.
using Picture = host::Picture;

// w x h pixels of `planes` samples, each f(x, y, k) or `fill`.
template <typename F>
Picture MakePicture(int w, int h, int planes, int depth, F f) {
  Picture p;
  p.Allocate(w, h, planes, 0, depth);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < planes; ++k) p.Set(x, y, k, std::uint32_t(f(x, y, k)));
  return p;
}
inline Picture Blank(int w, int h, int planes, int depth, std::uint32_t fill = 0) {
  return MakePicture(w, h, planes, depth, [fill](int, int, int) { return fill; });
}

inline Picture RandomPicture(int w, int h, int planes, int depth, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(0, depth == 8 ? 255 : 32768);
  return MakePicture(w, h, planes, depth, [&](int, int, int) { return dist(rng); });
}

// Host callbacks take no context, so the current run's recordings live here.
struct HostLog {
  std::vector<std::pair<std::int32_t, std::int32_t>> progress;
  int abortCalls = 0;
  int abortAtCall = -1;  // the 1-based call of abortProc that answers true
  std::vector<std::string> messages;
};
inline HostLog& Host() {
  static HostLog log;
  return log;
}

class FocusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Host() = HostLog{};
    focus::test::SetMessageSink([](const char* text) { Host().messages.emplace_back(text); });
  }
  void TearDown() override {  // also after a failed assertion ended the test early
    focus::test::SetMessageSink(nullptr);
    focus::test::SetWorkingRowsRefused(false);
    focus::test::SetAddBandRows(0);
    platform::test::ClearFaults();
    platform::test::SetMappingRefused(false);
    platform::test::SetStoreAccess(platform::test::StoreAccess::kSystem);
  }

  bool AnyBufferFile() const {
    return root_.Exists("BestFocus.xxx") || root_.Exists("BestVariance.xxx") ||
           root_.Exists("CountVXBuffer.xxx");
  }

  testsupport::TempRoot root_;
};

// One run of an operation: `picture` fills the filter rectangle at (left, top)
// of an image of imageWidth x imageHeight (the picture's own size when 0).
class FilterRun {
 public:
  explicit FilterRun(const Picture& picture, int left = 0, int top = 0, int imageWidth = 0,
                     int imageHeight = 0)
      : picture_(picture) {
    record_.abortProc = [] { return Boolean(++Host().abortCalls == Host().abortAtCall); };
    record_.progressProc = [](std::int32_t done, std::int32_t total) {
      Host().progress.emplace_back(done, total);
    };
    record_.imageSize.h = std::int16_t(imageWidth > 0 ? imageWidth : picture.width + left);
    record_.imageSize.v = std::int16_t(imageHeight > 0 ? imageHeight : picture.height + top);
    record_.filterRect =
        Rect{std::int16_t(top), std::int16_t(left), std::int16_t(top + picture.height),
             std::int16_t(left + picture.width)};
    record_.depth = picture.depth;
    block_.width = std::int16_t(picture.width);
    block_.height = std::int16_t(picture.height);
    block_.colorPlanes = std::uint16_t(picture.planes);
    block_.filterRecord = &record_;
    block_.filterLeft = left;
    block_.filterTop = top;
    EXPECT_EQ(noErr,
              CreateColorStore(block_.width, block_.height,
                               std::int16_t(picture.planes * picture.BytesPerSample()), &color_));
    for (int y = 0; y < picture.height; ++y)
      WriteStoreRow(color_, 0, y, std::int32_t(picture.RowBytes()), picture.Row(y));
  }
  ~FilterRun() {
    if (mask_ != nullptr) DisposeMaskStore(mask_);
    if (color_ != nullptr) DisposeColorStore(color_);
  }
  FilterRun(const FilterRun&) = delete;
  FilterRun& operator=(const FilterRun&) = delete;

  // A selection: one mask byte per pixel of the rectangle.
  void SetMask(const std::vector<std::uint8_t>& mask) {
    EXPECT_EQ(noErr, CreateMaskStore(block_.width, block_.height, 1, &mask_));
    for (int y = 0; y < block_.height; ++y)
      WriteStoreRow(mask_, 0, y, block_.width, mask.data() + std::size_t(y) * block_.width);
    block_.maskStore = mask_;
  }
  void SetBackground(const std::uint8_t b[3]) { std::copy(b, b + 3, record_.backColor); }

  // Through the dispatcher at the picture's channel width, as the host runs them.
  OSErr Run(std::int32_t code, std::uint8_t noDialog = 0) {
    Handle choice = NewZeroedHandleBlock(std::int32_t(sizeof(OperationChoice)));
    reinterpret_cast<OperationChoice*>(*choice)->operation = code;
    const OSErr s = picture_.depth == 8
                        ? RunOperation8(color_, &block_, choice, nullptr, noDialog)
                        : RunOperation16(color_, &block_, choice, nullptr, noDialog);
    DisposeHandleBlock(choice);
    return s;
  }
  OSErr Add() { return Run(kOperationAddToBuffer); }
  OSErr Show(std::uint8_t noDialog = 0) { return Run(kOperationShowBuffer, noDialog); }

  // The colour store as a picture (after Show wrote into it).
  Picture Result() const {
    Picture out = picture_;
    for (int y = 0; y < out.height; ++y)
      ReadStoreRow(color_, 0, y, std::int32_t(out.RowBytes()), out.Row(y));
    return out;
  }

  ParameterBlock* block() { return &block_; }

 private:
  Picture picture_;
  FilterRecord record_{};
  ParameterBlock block_{};
  ImageStore* color_ = nullptr;
  ImageStore* mask_ = nullptr;
};

// The buffer set held whole in memory.
struct BufferSet {
  int width = 0, height = 0;
  std::vector<std::uint16_t> focus;  // 3 per pixel
  std::vector<float> variance;
  std::vector<std::uint16_t> count;

  void Resize(int w, int h) {
    const std::size_t n = std::size_t(w) * h;
    BufferSet grown{w, h, std::vector<std::uint16_t>(n * 3), std::vector<float>(n),
                    std::vector<std::uint16_t>(n)};
    for (int y = 0; y < std::min(h, height); ++y)
      for (int x = 0; x < std::min(w, width); ++x) {
        const std::size_t from = Index(x, y), to = grown.Index(x, y);
        std::copy_n(&focus[from * 3], 3, &grown.focus[to * 3]);
        grown.variance[to] = variance[from];
        grown.count[to] = count[from];
      }
    *this = std::move(grown);
  }
  std::size_t Index(int x, int y) const { return std::size_t(y) * width + x; }
};

inline bool operator==(const BufferSet& a, const BufferSet& b) {
  // Measures compared by their bits: a float rounded differently is a fault.
  return a.width == b.width && a.height == b.height && a.focus == b.focus && a.count == b.count &&
         std::memcmp(a.variance.data(), b.variance.data(), a.variance.size() * 4) == 0;
}

// The set on disk, through the store layer; empty, and a failure, when a file
// is missing or the three disagree in size.
inline BufferSet Stored() {
  ImageStore* s[3] = {nullptr, nullptr, nullptr};
  const char* paths[3] = {kFocusBufferPath, kVarianceBufferPath, kCountBufferPath};
  bool ok = true;
  for (int i = 0; i < 3; ++i)
    ok = ok && OpenImageStore(paths[i], &s[i]) == noErr && s[i]->width == s[0]->width &&
         s[i]->height == s[0]->height;
  EXPECT_TRUE(ok);
  BufferSet set;
  if (ok) set.Resize(s[0]->width, s[0]->height);
  for (int y = 0; y < set.height; ++y) {
    ReadStoreRow(s[0], 0, y, set.width * 6, &set.focus[set.Index(0, y) * 3]);
    ReadStoreRow(s[1], 0, y, set.width * 4, &set.variance[set.Index(0, y)]);
    ReadStoreRow(s[2], 0, y, set.width * 2, &set.count[set.Index(0, y)]);
  }
  for (ImageStore* store : s) CloseImageStore(store);
  return set;
}

inline void WriteBufferSet(const BufferSet& set) {
  const char* paths[3] = {kFocusBufferPath, kVarianceBufferPath, kCountBufferPath};
  const void* data[3] = {set.focus.data(), set.variance.data(), set.count.data()};
  const int sizes[3] = {6, 4, 2};
  for (int i = 0; i < 3; ++i) {
    ImageStore* store = nullptr;
    ASSERT_EQ(noErr, CreateImageStore(paths[i], true, std::int16_t(set.width),
                                      std::int16_t(set.height), std::int16_t(sizes[i]), &store));
    for (int y = 0; y < set.height; ++y)
      WriteStoreRow(store, 0, y, set.width * sizes[i],
                    static_cast<const char*>(data[i]) + set.Index(0, y) * sizes[i]);
    CloseImageStore(store);
  }
}

// Every pixel holds the grey `value` in three channels and the given count.
inline BufferSet UniformBuffer(int w, int h, std::uint16_t value, std::uint16_t count) {
  const std::size_t n = std::size_t(w) * h;
  return {w, h, std::vector<std::uint16_t>(n * 3, value), std::vector<float>(n, 1.0f),
          std::vector<std::uint16_t>(n, count)};
}

// One realistic error for each kind of call.
inline const std::pair<platform::test::Operation, platform::OsError> kFaults[] = {
    {platform::test::Operation::kOpen, platform::OsError::kOther},
    {platform::test::Operation::kCreate, platform::OsError::kAccessDenied},
    {platform::test::Operation::kRead, platform::OsError::kOther},
    {platform::test::Operation::kShortWrite, platform::OsError::kDiskFull},
    {platform::test::Operation::kDiskFullWrite, platform::OsError::kDiskFull},
    {platform::test::Operation::kSeek, platform::OsError::kOther},
    {platform::test::Operation::kClose, platform::OsError::kOther},
    {platform::test::Operation::kDelete, platform::OsError::kAccessDenied},
    {platform::test::Operation::kMove, platform::OsError::kAccessDenied},
    {platform::test::Operation::kMap, platform::OsError::kNone},
    {platform::test::Operation::kAllocate, platform::OsError::kNone},
    {platform::test::Operation::kSetSize, platform::OsError::kDiskFull}};

// ---------------------------------------------------------------------------
// The reference. Sample k of rectangle pixel (x, y) on the buffer's scale,
// coordinates clamped to the rectangle, grey repeated into three channels.
inline std::uint16_t BufferSample(const Picture& p, int x, int y, int k) {
  const std::uint32_t v =
      p.Get(std::clamp(x, 0, p.width - 1), std::clamp(y, 0, p.height - 1), p.planes == 1 ? 0 : k);
  return std::uint16_t(p.depth == 8 ? std::floor(v * 128.5 + 0.5) : v);
}

// The sharpness: squared differences to the 5 x 5 square without its corners.
inline std::uint64_t ReferenceMeasure(const Picture& p, int x, int y) {
  std::uint64_t sum = 0;
  for (int dy = -2; dy <= 2; ++dy)
    for (int dx = -2; dx <= 2; ++dx) {
      if (std::abs(dx) + std::abs(dy) == 4 || (dx == 0 && dy == 0)) continue;
      for (int k = 0; k < 3; ++k) {
        const std::int64_t d =
            std::int64_t(BufferSample(p, x, y, k)) - BufferSample(p, x + dx, y + dy, k);
        sum += std::uint64_t(d * d);
      }
    }
  return sum;
}

// Adds p, the rectangle at (left, top) of an image of imageWidth x imageHeight;
// `mask` (one byte per rectangle pixel) may be empty.
inline void ReferenceAdd(BufferSet* set, const Picture& p, int left, int top, int imageWidth,
                         int imageHeight, const std::vector<std::uint8_t>& mask = {}) {
  if (imageWidth > set->width || imageHeight > set->height)
    set->Resize(std::max(set->width, imageWidth), std::max(set->height, imageHeight));
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      if (!mask.empty() && mask[std::size_t(y) * p.width + x] < 128) continue;
      const std::size_t i = set->Index(left + x, top + y);
      if (set->count[i] < 65535) ++set->count[i];
      const std::uint64_t v = ReferenceMeasure(p, x, y);
      if (set->variance[i] == 0.0f || double(set->variance[i]) < double(v)) {
        set->variance[i] = float(double(v));
        for (int k = 0; k < 3; ++k) set->focus[i * 3 + k] = BufferSample(p, x, y, k);
      }
    }
}

// Show at equal sizes: the composite stretched over the covered range, the
// background (byte, or byte x 128.5 at 16 bits) where nothing was added.
inline Picture ReferenceShow(const BufferSet& set, int planes, int depth,
                             const std::uint8_t background[3]) {
  const bool grey = planes == 1;
  float low = 1.0e9f, high = -1.0e9f;
  for (std::size_t i = 0; i < set.count.size(); ++i)
    for (int k = 0; k < (grey ? 1 : 3) && set.count[i] != 0; ++k) {
      const std::uint16_t* f = &set.focus[i * 3];
      const float v = grey ? float(f[0]) + float(f[1]) + float(f[2]) : float(f[k]);
      low = std::min(low, v), high = std::max(high, v);
    }
  const float top = depth == 8 ? 255.49f : 32768.49f;
  float offset = 0.0f, scale = 0.0f;
  if (low == high) {
    scale = depth == 8 ? (grey ? 0.0025940337f : 0.0077821012f) : (grey ? 0.33333334f : 1.0f);
  } else {
    offset = -low;
    scale = float(double(top) / (double(high) - double(low)));
  }
  Picture out = Blank(set.width, set.height, planes, depth);
  for (int y = 0; y < set.height; ++y)
    for (int x = 0; x < set.width; ++x) {
      const std::size_t i = set.Index(x, y);
      const std::uint16_t* f = &set.focus[i * 3];
      for (int k = 0; k < planes; ++k) {
        double value = grey ? double(f[0]) + f[1] + f[2] + offset : double(f[k]) + offset;
        value *= double(scale);
        if (set.count[i] == 0) value = depth == 8 ? background[k] : background[k] * 128.5;
        out.Set(x, y, k, std::uint32_t(std::trunc(value)));
      }
    }
  return out;
}

// ---------------------------------------------------------------------------
// The same for host pictures, as the hosts' tests see them.
// The picture as a run that leaves the colour store alone hands it back: fully
// transparent pixels in `area` (empty: everywhere) white.
inline host::Picture Whitened(const host::Picture& p, host::Area area = {}) {
  if (area.Empty()) area = {0, 0, p.width, p.height};
  host::Picture out = p;
  const std::uint32_t white = p.depth == 8 ? 255u : 32768u;
  for (int y = area.top; y < area.bottom && p.HasAlpha(); ++y)
    for (int x = area.left; x < area.right; ++x) {
      if (p.Get(x, y, p.colorPlanes) != 0) continue;
      for (int k = 0; k < p.colorPlanes; ++k) out.Set(x, y, k, white);
    }
  return out;
}

// The composite by the focus tests' reference: transparent pixels whitened, those
// under half opaque not selected, the background where nothing was added, the
// target's extra planes kept. Each picture is added as its part in `area` (empty: all of it).
inline host::Picture ReferenceComposite(const std::vector<host::Picture>& series,
                                        const host::Picture& target, host::Area area,
                                        const std::uint8_t (&background)[3]) {
  BufferSet set;
  for (const host::Picture& p : series) {
    const host::Area r = area.Empty() ? host::Area{0, 0, p.width, p.height} : area;
    const host::Picture whitened = Whitened(p);
    Picture f = Blank(r.Width(), r.Height(), p.colorPlanes, p.depth);
    std::vector<std::uint8_t> mask;
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x) {
        for (int k = 0; k < p.colorPlanes; ++k)
          f.Set(x - r.left, y - r.top, k, whitened.Get(x, y, k));
        const std::uint32_t t = p.HasAlpha() ? p.Get(x, y, p.colorPlanes) : 0;
        if (p.HasAlpha()) mask.push_back(std::uint8_t(p.depth == 8 ? t : t * 2 / 257));
      }
    ReferenceAdd(&set, f, r.left, r.top, p.width, p.height, mask);
  }
  const Picture shown = ReferenceShow(set, target.colorPlanes, target.depth, background);
  host::Picture expected = target;
  for (int y = 0; y < target.height; ++y)
    for (int x = 0; x < target.width; ++x)
      for (int k = 0; k < target.colorPlanes; ++k) expected.Set(x, y, k, shown.Get(x, y, k));
  return expected;
}

}  // namespace focustest
