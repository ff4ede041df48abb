// Shared pieces of the focus tests: pictures held whole in memory, a run set-up
// (filter record, parameter block, colour and mask stores) that hands them to
// the operations, the host callbacks with their recordings, and direct access
// to the three buffer files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "interface/filter_record.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/focus/operations.h"
#include "plugin/focus/test_hooks.h"
#include "plugin/params/parameter_block.h"
#include "plugin/platform/test_hooks.h"
#include "plugin/storage/store.h"
#include "support/temp_root.h"

namespace focustest {

// A picture: width x height pixels of `planes` interleaved samples, each an
// 8-bit value (0..255) or a 16-bit value (0..32768) as `depth` says.
struct Picture {
  int width = 0;
  int height = 0;
  int planes = 1;
  int depth = 8;
  std::vector<std::uint16_t> samples;

  Picture() = default;
  Picture(int w, int h, int p, int d)
      : width(w), height(h), planes(p), depth(d), samples(std::size_t(w) * h * p, 0) {}
  std::uint16_t& at(int x, int y, int k = 0) {
    return samples[(std::size_t(y) * width + x) * planes + k];
  }
  std::uint16_t at(int x, int y, int k = 0) const {
    return samples[(std::size_t(y) * width + x) * planes + k];
  }
  int max() const { return depth == 8 ? 255 : 32768; }
};

inline std::uint16_t To16(std::uint16_t v8) {
  return std::uint16_t((257u * v8 + 1u) / 2u);
}

// The same picture on the 16-bit scale.
inline Picture Widened(const Picture& p) {
  Picture out = p;
  out.depth = 16;
  for (auto& s : out.samples) s = To16(s);
  return out;
}

// The same picture with its one grey plane repeated into three.
inline Picture AsRgb(const Picture& grey) {
  Picture out(grey.width, grey.height, 3, grey.depth);
  for (int y = 0; y < grey.height; ++y)
    for (int x = 0; x < grey.width; ++x)
      for (int k = 0; k < 3; ++k) out.at(x, y, k) = grey.at(x, y);
  return out;
}

inline Picture RandomPicture(int w, int h, int planes, int depth, std::uint32_t seed) {
  Picture p(w, h, planes, depth);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(0, p.max());
  for (auto& s : p.samples) s = std::uint16_t(dist(rng));
  return p;
}

// A focus series of n pictures of one textured scene: picture i is sharp in
// the i-th vertical band and blurred (a 5 x 5 box) everywhere else.
struct Series {
  Picture scene;  // sharp everywhere: what the composite should show
  std::vector<Picture> pictures;
};
inline Series FocusSeries(int w, int h, int planes, int depth, int n, std::uint32_t seed) {
  const Picture scene = RandomPicture(w, h, planes, depth, seed);
  Picture blurred = scene;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int k = 0; k < planes; ++k) {
        int sum = 0, taken = 0;
        for (int dy = -2; dy <= 2; ++dy) {
          for (int dx = -2; dx <= 2; ++dx) {
            if (x + dx < 0 || x + dx >= w || y + dy < 0 || y + dy >= h) continue;
            sum += scene.at(x + dx, y + dy, k);
            ++taken;
          }
        }
        blurred.at(x, y, k) = std::uint16_t(sum / taken);
      }
    }
  }
  Series series{scene, {}};
  for (int i = 0; i < n; ++i) {
    Picture p = blurred;
    for (int y = 0; y < h; ++y)
      for (int x = i * w / n; x < (i + 1) * w / n; ++x)
        for (int k = 0; k < planes; ++k) p.at(x, y, k) = scene.at(x, y, k);
    series.pictures.push_back(p);
  }
  return series;
}

// ---------------------------------------------------------------------------
// Host callbacks. They take no context, so the current run lives here.
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
inline void RecordProgress(std::int32_t done, std::int32_t total) {
  Host().progress.emplace_back(done, total);
}
inline Boolean RecordAbort() {
  ++Host().abortCalls;
  return Host().abortCalls == Host().abortAtCall ? 1 : 0;
}
inline void RecordMessage(const char* text) {
  Host().messages.emplace_back(text);
}

// Every focus test runs under a private drive root with the host's callbacks
// recorded and the warning box captured.
class FocusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Host() = HostLog{};
    focus::test::SetMessageSink(RecordMessage);
    focus::test::SetWorkingRowsRefused(false);
  }
  void TearDown() override {
    focus::test::SetMessageSink(nullptr);
    focus::test::SetWorkingRowsRefused(false);
  }

  testsupport::TempRoot root_;
};

// One run of an operation on a picture: the filter record, the parameter
// block and the run's stores, released at the end of the scope.
class FilterRun {
 public:
  // `picture` fills the filter rectangle at (left, top) of an image of
  // imageWidth x imageHeight (the picture's own size when 0).
  explicit FilterRun(const Picture& picture, int left = 0, int top = 0, int imageWidth = 0,
                     int imageHeight = 0)
      : picture_(picture) {
    record_.abortProc = RecordAbort;
    record_.progressProc = RecordProgress;
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
    const int bytes = picture.depth == 8 ? 1 : 2;
    EXPECT_EQ(noErr, CreateColorStore(std::int16_t(picture.width), std::int16_t(picture.height),
                                      std::int16_t(picture.planes * bytes), &color_));
    WritePicture(picture);
  }
  ~FilterRun() {
    if (mask_ != nullptr) DisposeMaskStore(mask_);
    if (color_ != nullptr) DisposeColorStore(color_);
  }
  FilterRun(const FilterRun&) = delete;
  FilterRun& operator=(const FilterRun&) = delete;

  // A selection: mask bytes, one per pixel of the rectangle.
  void SetMask(const std::vector<std::uint8_t>& mask) {
    EXPECT_EQ(noErr, CreateMaskStore(block_.width, block_.height, 1, &mask_));
    for (int y = 0; y < block_.height; ++y)
      WriteStoreRow(mask_, 0, y, block_.width, mask.data() + std::size_t(y) * block_.width);
    block_.maskStore = mask_;
  }
  void SetBackground(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    record_.backColor[0] = b0;
    record_.backColor[1] = b1;
    record_.backColor[2] = b2;
  }

  OSErr Add() {
    return picture_.depth == 8 ? AddToBuffer8(color_, &block_, 0)
                               : AddToBuffer16(color_, &block_, 0);
  }
  OSErr Show(std::uint8_t noDialog = 0) {
    return picture_.depth == 8 ? ShowBufferContents8(color_, &block_, noDialog)
                               : ShowBufferContents16(color_, &block_, noDialog);
  }

  // The colour store as a picture (after Show wrote into it).
  Picture Result() const {
    Picture out(picture_.width, picture_.height, picture_.planes, picture_.depth);
    const int bytes = picture_.depth == 8 ? 1 : 2;
    std::vector<std::uint8_t> row(std::size_t(picture_.width) * picture_.planes * bytes);
    for (int y = 0; y < picture_.height; ++y) {
      ReadStoreRow(color_, 0, y, std::int32_t(row.size()), row.data());
      for (int i = 0; i < picture_.width * picture_.planes; ++i) {
        out.samples[std::size_t(y) * picture_.width * picture_.planes + i] =
            bytes == 1 ? row[i] : std::uint16_t(row[2 * i] | (row[2 * i + 1] << 8));
      }
    }
    return out;
  }

  ImageStore* color() { return color_; }
  ParameterBlock* block() { return &block_; }
  FilterRecord* record() { return &record_; }

 private:
  void WritePicture(const Picture& p) {
    const int bytes = p.depth == 8 ? 1 : 2;
    std::vector<std::uint8_t> row(std::size_t(p.width) * p.planes * bytes);
    for (int y = 0; y < p.height; ++y) {
      for (int i = 0; i < p.width * p.planes; ++i) {
        const std::uint16_t s = p.samples[std::size_t(y) * p.width * p.planes + i];
        if (bytes == 1) {
          row[i] = std::uint8_t(s);
        } else {
          row[2 * i] = std::uint8_t(s & 0xff);
          row[2 * i + 1] = std::uint8_t(s >> 8);
        }
      }
      WriteStoreRow(color_, 0, y, std::int32_t(row.size()), row.data());
    }
  }

  Picture picture_;
  FilterRecord record_{};
  ParameterBlock block_{};
  ImageStore* color_ = nullptr;
  ImageStore* mask_ = nullptr;
};

// ---------------------------------------------------------------------------
// The buffer set held whole in memory.
struct BufferSet {
  int width = 0;
  int height = 0;
  std::vector<std::uint16_t> focus;  // 3 per pixel
  std::vector<float> variance;
  std::vector<std::uint16_t> count;

  void Resize(int w, int h) {
    BufferSet grown;
    grown.width = w;
    grown.height = h;
    grown.focus.assign(std::size_t(w) * h * 3, 0);
    grown.variance.assign(std::size_t(w) * h, 0.0f);
    grown.count.assign(std::size_t(w) * h, 0);
    for (int y = 0; y < std::min(h, height); ++y) {
      for (int x = 0; x < std::min(w, width); ++x) {
        const std::size_t from = std::size_t(y) * width + x, to = std::size_t(y) * w + x;
        for (int k = 0; k < 3; ++k) grown.focus[to * 3 + k] = focus[from * 3 + k];
        grown.variance[to] = variance[from];
        grown.count[to] = count[from];
      }
    }
    *this = std::move(grown);
  }
  std::size_t Index(int x, int y) const { return std::size_t(y) * width + x; }
};

inline bool operator==(const BufferSet& a, const BufferSet& b) {
  if (a.width != b.width || a.height != b.height || a.focus != b.focus || a.count != b.count)
    return false;
  // Measures compared by their bits: a float rounded differently is a fault.
  return std::memcmp(a.variance.data(), b.variance.data(), a.variance.size() * sizeof(float)) == 0;
}

// Reads the three files through the store layer; false when one is missing or
// the three disagree in size.
inline bool ReadBufferSet(BufferSet* set) {
  ImageStore* stores[3] = {nullptr, nullptr, nullptr};
  const char* paths[3] = {kFocusBufferPath, kVarianceBufferPath, kCountBufferPath};
  bool ok = true;
  for (int i = 0; i < 3; ++i) ok = ok && OpenImageStore(paths[i], &stores[i]) == noErr;
  if (ok) {
    ok = stores[0]->width == stores[1]->width && stores[1]->width == stores[2]->width &&
         stores[0]->height == stores[1]->height && stores[1]->height == stores[2]->height;
  }
  if (ok) {
    *set = BufferSet{};
    set->Resize(stores[0]->width, stores[0]->height);
    for (int y = 0; y < set->height; ++y) {
      ReadStoreRow(stores[0], 0, y, set->width * 6, &set->focus[set->Index(0, y) * 3]);
      ReadStoreRow(stores[1], 0, y, set->width * 4, &set->variance[set->Index(0, y)]);
      ReadStoreRow(stores[2], 0, y, set->width * 2, &set->count[set->Index(0, y)]);
    }
  }
  for (ImageStore* s : stores) CloseImageStore(s);
  return ok;
}

// Writes a buffer set as the three files (replacing whatever was there).
inline void WriteBufferSet(const BufferSet& set) {
  ImageStore* focus = nullptr;
  ImageStore* variance = nullptr;
  ImageStore* count = nullptr;
  const auto w = std::int16_t(set.width), h = std::int16_t(set.height);
  ASSERT_EQ(noErr, CreateImageStore(kFocusBufferPath, true, w, h, 6, &focus));
  ASSERT_EQ(noErr, CreateImageStore(kVarianceBufferPath, true, w, h, 4, &variance));
  ASSERT_EQ(noErr, CreateImageStore(kCountBufferPath, true, w, h, 2, &count));
  for (int y = 0; y < set.height; ++y) {
    WriteStoreRow(focus, 0, y, set.width * 6, &set.focus[set.Index(0, y) * 3]);
    WriteStoreRow(variance, 0, y, set.width * 4, &set.variance[set.Index(0, y)]);
    WriteStoreRow(count, 0, y, set.width * 2, &set.count[set.Index(0, y)]);
  }
  CloseImageStore(focus);
  CloseImageStore(variance);
  CloseImageStore(count);
}

// Arms a refusal (a sharing violation) of the file open by which an operation
// opens its which-th buffer store after recovering and checking the set: the
// count, variance and focus files for Add (which 0, 1, 2), the focus and count
// files for Show (0, 1). The set must exist, need no growth, and the check
// must read the headers named in `checked`.
inline void FailOpenOfBufferStore(int which,
                                  std::vector<const char*> checked = {
                                      kCountBufferPath, kVarianceBufferPath, kFocusBufferPath}) {
  using platform::test::Operation;
  platform::test::ClearFaults();
  std::int16_t w = 0, h = 0, e = 0;
  EXPECT_EQ(noErr, RecoverFocusBufferSet());  // each run's first step
  for (const char* path : checked) EXPECT_EQ(noErr, ReadImageStoreHeader(path, &w, &h, &e));
  const int check_opens = platform::test::CallCount(Operation::kOpen);
  ImageStore* store = nullptr;
  EXPECT_EQ(noErr, OpenImageStore(kFocusBufferPath, &store));
  CloseImageStore(store);
  const int store_opens = platform::test::CallCount(Operation::kOpen) - check_opens;
  // The data file is the last file an open of a store opens.
  platform::test::FailNthCall(Operation::kOpen, check_opens + (which + 1) * store_opens,
                              platform::OsError::kSharingViolation);
}

// A buffer of w x h pixels whose every pixel holds the grey value `value`
// (three equal channels) and the given count.
inline BufferSet UniformBuffer(int w, int h, std::uint16_t value, std::uint16_t count) {
  BufferSet set;
  set.Resize(w, h);
  std::fill(set.focus.begin(), set.focus.end(), value);
  std::fill(set.count.begin(), set.count.end(), count);
  std::fill(set.variance.begin(), set.variance.end(), 1.0f);
  return set;
}

}  // namespace focustest
