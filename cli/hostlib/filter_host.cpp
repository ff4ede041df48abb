// The in-memory filter host: the filter record, the callbacks, the row
// exchange and the selector sequence of a run.
#include "cli/hostlib/filter_host.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

namespace host {

namespace {

constexpr std::int32_t kMaxSpace = 64 * 1024 * 1024;
constexpr int kMaxDimension = 32767;                  // rectangles are 16-bit
constexpr std::uint32_t kHostSignature = 0x53534854;  // "SSHT"

Area ToArea(const Rect& r) {
  return Area{r.left, r.top, r.right, r.bottom};
}

Area Intersect(const Area& a, const Area& b) {
  Area r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
         std::min(a.bottom, b.bottom)};
  if (r.Empty()) return Area{};
  return r;
}

bool Requests(const Rect& r) {
  return !ToArea(r).Empty();
}

}  // namespace

struct FilterHost::Impl {
  // A block of the host's handle suite. The handle is the address of `data`,
  // so one dereference reaches the bytes.
  struct HandleRecord {
    char* data = nullptr;
    std::vector<char> bytes;
  };

  FilterHost* owner = nullptr;
  const RunOptions* options = nullptr;
  RunResult* result = nullptr;
  // The run's copy of the picture. A row is copied in only when the plug-in
  // first writes to it (rowTaken); until then the picture's own row stands
  // for it, so a run that writes whole rows never copies them in. In place,
  // `work` is the picture itself and every row counts as taken.
  Picture copy;
  Picture* work = &copy;
  std::vector<std::uint8_t> rowTaken;
  Area area;  // the filter rectangle, inside the picture

  std::vector<std::uint8_t> inBuffer;
  std::vector<std::uint8_t> outBuffer;
  std::vector<std::uint8_t> maskBuffer;
  bool outPending = false;  // outBuffer holds a delivered row not yet taken back
  Area outDelivered;
  int outLo = 0;
  int outHi = -1;

  PlatformData platform{};
  ReadImageDocumentDesc document{};
  std::string documentPath;
  HandleProcs handleProcs{};
  std::map<Handle, std::unique_ptr<HandleRecord>> handles;

  static Impl* current;
  // The handle suite is not tied to a run: its handles belong to the most
  // recently constructed host still alive.
  static Impl* handleOwner;
  Impl* previousHandleOwner = nullptr;

  // Makes `impl` the host that the callbacks act on for one scope.
  class CurrentScope {
   public:
    explicit CurrentScope(Impl* impl) : previous_(current) { current = impl; }
    ~CurrentScope() { current = previous_; }
    CurrentScope(const CurrentScope&) = delete;
    CurrentScope& operator=(const CurrentScope&) = delete;

   private:
    Impl* previous_;
  };

  // Sets up the copy for a new run, its buffer kept from the last run when
  // the size allows.
  void StartCopy(Picture& source, bool inPlace) {
    if (inPlace) {
      // The memory of earlier copies goes back: a host that works in place
      // does so to hold one picture, not two.
      copy = Picture{};
      work = &source;
      rowTaken.assign(std::size_t(source.height), 1);
      return;
    }
    work = &copy;
    work->width = source.width;
    work->height = source.height;
    work->planes = source.planes;
    work->depth = source.depth;
    work->colorPlanes = source.colorPlanes;
    work->data.resize(source.data.size());
    rowTaken.assign(std::size_t(source.height), 0);
  }

  // Row y as the run sees it now.
  const std::uint8_t* CurrentRow(int y) const {
    return rowTaken[std::size_t(y)] != 0 ? work->Row(y) : owner->picture.Row(y);
  }

  // Row y of the copy, ready to be written; `whole` when every byte of it is
  // about to be overwritten, so the picture's row need not be copied first.
  std::uint8_t* TakeRow(int y, bool whole) {
    if (rowTaken[std::size_t(y)] == 0) {
      if (!whole) std::memcpy(work->Row(y), owner->picture.Row(y), work->RowBytes());
      rowTaken[std::size_t(y)] = 1;
    }
    return work->Row(y);
  }

  // The finished copy: rows never written are the picture's own.
  void CompleteCopy() {
    for (int y = 0; y < work->height; ++y) {
      if (rowTaken[std::size_t(y)] == 0) {
        std::memcpy(work->Row(y), owner->picture.Row(y), work->RowBytes());
      }
    }
  }

  // Where sample `plane` of pixel (x, y) lies in a buffer of `rect`'s rows,
  // `row` bytes each, holding `count` planes of `bytes`-byte samples per pixel.
  static std::size_t SampleAt(const Area& rect, std::size_t row, int x, int y, int count, int plane,
                              int bytes) {
    return std::size_t(y - rect.top) * row +
           (std::size_t(x - rect.left) * std::size_t(count) + std::size_t(plane)) *
               std::size_t(bytes);
  }

  // Copies the samples of `rect`, planes lo..hi, into `buffer`; samples
  // outside the picture read as 0.
  void Deliver(const Area& rect, int lo, int hi, std::vector<std::uint8_t>* buffer,
               std::int32_t* rowBytes) const {
    const int bytes = work->BytesPerSample();
    const int count = std::max(0, hi - lo + 1);
    const std::size_t row = std::size_t(rect.Width()) * std::size_t(count) * std::size_t(bytes);
    *rowBytes = std::int32_t(row);
    // All planes of a rectangle inside the picture: whole rows at once (the
    // common case, and the one whose speed the benchmarks see). Every byte is
    // overwritten, so the buffer is not cleared first.
    if (lo == 0 && hi == work->planes - 1 && rect.left >= 0 && rect.top >= 0 &&
        rect.right <= work->width && rect.bottom <= work->height) {
      buffer->resize(row * std::size_t(rect.Height()));
      for (int y = rect.top; y < rect.bottom; ++y) {
        std::memcpy(
            buffer->data() + std::size_t(y - rect.top) * row,
            CurrentRow(y) + std::size_t(rect.left) * std::size_t(count) * std::size_t(bytes), row);
      }
      return;
    }
    buffer->assign(row * std::size_t(rect.Height()), 0);
    for (int y = rect.top; y < rect.bottom; ++y) {
      for (int x = rect.left; x < rect.right; ++x) {
        if (x < 0 || y < 0 || x >= work->width || y >= work->height) continue;
        for (int p = lo; p <= hi; ++p) {
          if (p < 0 || p >= work->planes) continue;
          const std::size_t at = SampleAt(rect, row, x, y, count, p - lo, bytes);
          // Whole samples are copied as they are stored.
          std::memcpy(
              buffer->data() + at,
              CurrentRow(y) + (std::size_t(x) * std::size_t(work->planes) + std::size_t(p)) *
                                  std::size_t(bytes),
              std::size_t(bytes));
        }
      }
    }
  }

  // Whether what the plug-in writes into `rect`, planes lo..hi, would be
  // taken back whole: all planes, inside the filter rectangle, no selection
  // to blend with.
  bool WritesWhole(const Area& rect, int lo, int hi) const {
    return owner->selection.empty() && lo == 0 && hi == work->planes - 1 &&
           rect.left >= area.left && rect.top >= area.top && rect.right <= area.right &&
           rect.bottom <= area.bottom;
  }

  // The working picture's own rows of `rect` as outData: the plug-in writes
  // where TakeBack would have copied its rows to, and they start with the
  // content a delivered copy would have had (a copy's row is filled from the
  // picture first: the plug-in need not write it). Saves two copies of every
  // row, or one when the run works on a copy.
  std::uint8_t* DirectRows(const Area& rect, std::int32_t* rowBytes) {
    for (int y = rect.top; y < rect.bottom; ++y) TakeRow(y, false);
    *rowBytes = std::int32_t(work->RowBytes());
    return work->Row(rect.top) +
           std::size_t(rect.left) * std::size_t(work->planes) * std::size_t(work->BytesPerSample());
  }

  // Takes the delivered outData back into the working picture, inside the
  // filter rectangle only and weighted by the selection.
  void TakeBack() {
    if (!outPending) return;
    outPending = false;
    const Area rect = outDelivered;
    const Area inside = Intersect(rect, area);
    const int bytes = work->BytesPerSample();
    const int count = std::max(0, outHi - outLo + 1);
    const std::size_t row = std::size_t(rect.Width()) * std::size_t(count) * std::size_t(bytes);
    // No selection and all planes: the part inside the filter rectangle is
    // taken whole, row by row.
    if (owner->selection.empty() && outLo == 0 && outHi == work->planes - 1 && !inside.Empty()) {
      const std::size_t pixel = std::size_t(count) * std::size_t(bytes);
      const bool whole = inside.left == 0 && inside.right == work->width;
      for (int y = inside.top; y < inside.bottom; ++y) {
        std::memcpy(TakeRow(y, whole) + std::size_t(inside.left) * pixel,
                    outBuffer.data() + std::size_t(y - rect.top) * row +
                        std::size_t(inside.left - rect.left) * pixel,
                    std::size_t(inside.Width()) * pixel);
      }
      return;
    }
    // A selection with all planes: runs of fully selected pixels are taken
    // whole and unselected ones skipped; only partly selected pixels blend.
    if (!owner->selection.empty() && outLo == 0 && outHi == work->planes - 1 && !inside.Empty()) {
      const std::size_t pixel = std::size_t(count) * std::size_t(bytes);
      for (int y = inside.top; y < inside.bottom; ++y) {
        const std::uint8_t* weights = owner->selection.data() + std::size_t(y) * work->width;
        std::uint8_t* target = nullptr;
        for (int x = inside.left; x < inside.right;) {
          int end = x + 1;
          while (end < inside.right && weights[end] == weights[x]) ++end;
          if (weights[x] == 255) {
            if (target == nullptr) target = TakeRow(y, false);
            std::memcpy(target + std::size_t(x) * pixel,
                        outBuffer.data() + std::size_t(y - rect.top) * row +
                            std::size_t(x - rect.left) * pixel,
                        std::size_t(end - x) * pixel);
          } else if (weights[x] != 0) {
            if (target == nullptr) target = TakeRow(y, false);
            for (int k = x; k < end; ++k) Blend(rect, row, k, y, weights[k]);
          }
          x = end;
        }
      }
      return;
    }
    for (int y = inside.top; y < inside.bottom; ++y) {
      TakeRow(y, false);
      for (int x = inside.left; x < inside.right; ++x) {
        const std::uint32_t weight =
            owner->selection.empty()
                ? 255u
                : owner->selection[std::size_t(y) * std::size_t(work->width) + std::size_t(x)];
        if (weight == 0) continue;
        Blend(rect, row, x, y, weight);
      }
    }
  }

  // Pixel (x, y) of the delivered outData into the copy, by the selection's
  // weight; its row has been taken.
  void Blend(const Area& rect, std::size_t row, int x, int y, std::uint32_t weight) {
    const int bytes = work->BytesPerSample();
    const int count = std::max(0, outHi - outLo + 1);
    for (int p = outLo; p <= outHi; ++p) {
      if (p < 0 || p >= work->planes) continue;
      const std::size_t at = SampleAt(rect, row, x, y, count, p - outLo, bytes);
      std::uint32_t fresh;
      if (bytes == 1) {
        fresh = outBuffer[at];
      } else {
        std::uint16_t v16;
        std::memcpy(&v16, outBuffer.data() + at, 2);
        fresh = v16;
      }
      if (weight != 255) {
        const std::uint32_t old = work->Get(x, y, p);
        fresh = (fresh * weight + old * (255 - weight) + 127) / 255;
      }
      work->Set(x, y, p, fresh);
    }
  }

  // One exchange: the previous outData back, then the rows now requested out.
  void Exchange() {
    FilterRecord& record = owner->record_;
    TakeBack();
    if (Requests(record.inRect)) {
      const Area rect = ToArea(record.inRect);
      result->inRequests.push_back(rect);
      Deliver(rect, record.inLoPlane, record.inHiPlane, &inBuffer, &record.inRowBytes);
      record.inData = inBuffer.data();
    } else {
      record.inData = nullptr;
      record.inRowBytes = 0;
    }
    if (Requests(record.outRect)) {
      outDelivered = ToArea(record.outRect);
      outLo = record.outLoPlane;
      outHi = record.outHiPlane;
      result->outRequests.push_back(outDelivered);
      if (WritesWhole(outDelivered, outLo, outHi)) {
        record.outData = DirectRows(outDelivered, &record.outRowBytes);
      } else {
        Deliver(outDelivered, outLo, outHi, &outBuffer, &record.outRowBytes);
        record.outData = outBuffer.data();
        outPending = true;
      }
    } else {
      record.outData = nullptr;
      record.outRowBytes = 0;
    }
    if (Requests(record.maskRect) && !owner->selection.empty()) {
      const Area rect = ToArea(record.maskRect);
      result->maskRequests.push_back(rect);
      maskBuffer.assign(std::size_t(rect.Width()) * std::size_t(rect.Height()), 0);
      // The part of each row inside the picture, copied whole.
      const int left = std::max(rect.left, 0), right = std::min(rect.right, work->width);
      for (int y = std::max(rect.top, 0); y < std::min(rect.bottom, work->height) && left < right;
           ++y) {
        std::memcpy(
            maskBuffer.data() + std::size_t(y - rect.top) * std::size_t(rect.Width()) +
                std::size_t(left - rect.left),
            owner->selection.data() + std::size_t(y) * std::size_t(work->width) + std::size_t(left),
            std::size_t(right - left));
      }
      record.maskData = maskBuffer.data();
      record.maskRowBytes = rect.Width();
    } else {
      record.maskData = nullptr;
      record.maskRowBytes = 0;
    }
  }

  // The callbacks. No context: they act on the run in progress.
  static OSErr AdvanceState() {
    Impl* self = current;
    if (self == nullptr || self->result == nullptr) return kHostNoPlugin;
    const int call = ++self->result->advanceCalls;
    if (self->options->advanceFailure) {
      if (OSErr code = self->options->advanceFailure(call); code != noErr) return code;
    }
    self->Exchange();
    return noErr;
  }

  static void Progress(std::int32_t done, std::int32_t total) {
    Impl* self = current;
    if (self == nullptr || self->result == nullptr) return;
    self->result->progress.emplace_back(done, total);
    if (self->options->onProgress) self->options->onProgress(done, total);
  }

  static Boolean Abort() {
    Impl* self = current;
    if (self == nullptr || self->result == nullptr) return 0;
    ++self->result->abortPolls;
    const std::size_t after = self->options->abortAfterProgress;
    if (after != 0 && self->result->progress.size() >= after) return 1;
    if (self->options->shouldAbort && self->options->shouldAbort()) return 1;
    return 0;
  }

  static Handle NewHandle(std::int32_t size) {
    Impl* self = handleOwner;
    if (self == nullptr || size < 0) return nullptr;
    auto record = std::make_unique<HandleRecord>();
    record->bytes.assign(std::size_t(size) + 1, 0);  // never zero-sized: data stays non-null
    record->data = record->bytes.data();
    Handle handle = &record->data;
    self->handles.emplace(handle, std::move(record));
    return handle;
  }

  static HandleRecord* Find(Handle h) {
    Impl* self = handleOwner;
    if (self == nullptr || h == nullptr) return nullptr;
    auto it = self->handles.find(h);
    return it == self->handles.end() ? nullptr : it->second.get();
  }

  static void DisposeHandle(Handle h) {
    if (Find(h) != nullptr) handleOwner->handles.erase(h);
  }

  static std::int32_t HandleSize(Handle h) {
    HandleRecord* record = Find(h);
    return record == nullptr ? 0 : std::int32_t(record->bytes.size() - 1);
  }

  static OSErr SetHandleSize(Handle h, std::int32_t size) {
    HandleRecord* record = Find(h);
    if (record == nullptr) return nilHandleErr;
    if (size < 0) return memFullErr;
    record->bytes.resize(std::size_t(size) + 1, 0);
    record->data = record->bytes.data();
    return noErr;
  }

  static Ptr LockHandle(Handle h, Boolean) {
    HandleRecord* record = Find(h);
    return record == nullptr ? nullptr : record->data;
  }

  static void UnlockHandle(Handle) {}
};

FilterHost::Impl* FilterHost::Impl::current = nullptr;
FilterHost::Impl* FilterHost::Impl::handleOwner = nullptr;

FilterHost::FilterHost(EntryPointProc entry) : impl_(new Impl), entry_(entry) {
  impl_->owner = this;
  impl_->previousHandleOwner = Impl::handleOwner;
  Impl::handleOwner = impl_;
  HandleProcs& procs = impl_->handleProcs;
  procs.handleProcsVersion = 1;
  procs.numHandleProcs = 6;
  procs.newProc = &Impl::NewHandle;
  procs.disposeProc = &Impl::DisposeHandle;
  procs.getSizeProc = &Impl::HandleSize;
  procs.setSizeProc = &Impl::SetHandleSize;
  procs.lockProc = &Impl::LockHandle;
  procs.unlockProc = &Impl::UnlockHandle;
}

FilterHost::~FilterHost() {
  delete impl_;
}

std::size_t FilterHost::LiveHandles() const {
  return impl_->handles.size();
}

void FilterHost::Rebuild(const RunOptions& options) {
  Impl& impl = *impl_;
  impl.StartCopy(picture, options.inPlace);
  impl.area = filterArea.Empty() ? Area{0, 0, picture.width, picture.height}
                                 : Intersect(filterArea, Area{0, 0, picture.width, picture.height});
  impl.outPending = false;

  const Handle parameters = record_.parameters;  // the editor keeps it between runs
  record_ = FilterRecord{};
  record_.parameters = parameters;
  record_.abortProc = &Impl::Abort;
  record_.progressProc = &Impl::Progress;
  record_.imageSize.v = std::int16_t(picture.height);
  record_.imageSize.h = std::int16_t(picture.width);
  record_.planes = std::int16_t(picture.planes);
  record_.filterRect.left = std::int16_t(impl.area.left);
  record_.filterRect.top = std::int16_t(impl.area.top);
  record_.filterRect.right = std::int16_t(impl.area.right);
  record_.filterRect.bottom = std::int16_t(impl.area.bottom);
  std::memcpy(record_.background, options.backColor, 4);
  record_.maxSpace = kMaxSpace;
  record_.haveMask = selection.empty() ? 0 : 1;
  std::memcpy(record_.backColor, options.backColor, 4);
  record_.hostSig = kHostSignature;
  record_.imageMode = picture.ImageMode();
  impl.platform.hwnd = options.ownerWindow;
  record_.platformData = &impl.platform;
  record_.handleProcs = options.handleProcs != nullptr ? options.handleProcs : &impl.handleProcs;
  record_.advanceState = options.mode == DriverMode::kAdvanceState ? &Impl::AdvanceState : nullptr;
  record_.depth = picture.depth;
  if (options.documentPath) {
    impl.documentPath = *options.documentPath;
    impl.document.minVersion = 0;
    impl.document.maxVersion = 0;
    impl.document.fileSpec = impl.documentPath.c_str();
    record_.documentInfo = &impl.document;
  }
  record_.descriptorParameters = options.descriptorParameters;
  if (options.attach) options.attach(&record_);
}

OSErr FilterHost::Call(std::int16_t selector) {
  if (entry_ == nullptr) return kHostNoPlugin;
  // Outside a Run the callbacks have no run to report to, but the handle
  // suite still works.
  Impl::CurrentScope scope(impl_);
  std::int16_t result = noErr;
  entry_(selector, &record_, &data_, &result);
  return result;
}

namespace {

bool PictureUsable(const Picture& p, const std::vector<std::uint8_t>& selection) {
  if (p.width <= 0 || p.height <= 0 || p.width > kMaxDimension || p.height > kMaxDimension) {
    return false;
  }
  if (p.depth != 8 && p.depth != 16) return false;
  if ((p.colorPlanes != 1 && p.colorPlanes != 3) || p.planes < p.colorPlanes) return false;
  if (p.data.size() != p.RowBytes() * std::size_t(p.height)) return false;
  return selection.empty() || selection.size() == std::size_t(p.width) * std::size_t(p.height);
}

}  // namespace

RunResult FilterHost::Run(const RunOptions& options) {
  RunResult result;
  if (entry_ == nullptr) {
    result.result = kHostNoPlugin;
    return result;
  }
  if (!PictureUsable(picture, selection)) {
    result.result = kHostBadPicture;
    return result;
  }
  Impl& impl = *impl_;
  impl.options = &options;
  impl.result = &result;
  Rebuild(options);
  if (impl.area.Empty()) {
    impl.options = nullptr;
    impl.result = nullptr;
    result.result = kHostBadPicture;
    return result;
  }

  auto first_error = [&result](OSErr code) {
    if (result.result == noErr) result.result = code;
  };

  bool started = false;
  if (options.askParameters) {
    result.parametersResult = Call(filterSelectorParameters);
    first_error(result.parametersResult);
  }
  if (result.result == noErr) {
    result.prepareResult = Call(filterSelectorPrepare);
    result.bufferSpace = record_.bufferSpace;
    first_error(result.prepareResult);
  }
  if (result.result == noErr) {
    started = true;
    result.startResult = Call(filterSelectorStart);
    first_error(result.startResult);
  }
  if (result.result == noErr) {
    const int limit =
        options.maxContinueCalls > 0 ? options.maxContinueCalls : 4 * picture.height + 16;
    while (Requests(record_.inRect) || Requests(record_.outRect) || Requests(record_.maskRect)) {
      if (result.continueCalls >= limit) {
        first_error(kHostRunaway);
        break;
      }
      // The user cancels between two exchanges: the editor stops and
      // finishes the run without asking the plug-in.
      if (options.cancelBeforeContinue > 0 &&
          result.continueCalls + 1 >= options.cancelBeforeContinue) {
        first_error(userCanceledErr);
        break;
      }
      impl.Exchange();
      ++result.continueCalls;
      result.continueResult = Call(filterSelectorContinue);
      if (result.continueResult != noErr) {
        first_error(result.continueResult);
        break;
      }
    }
    impl.TakeBack();
  }
  if (started) {
    result.finishResult = Call(filterSelectorFinish);
    first_error(result.finishResult);
  }

  if (record_.descriptorParameters != nullptr) {
    result.descriptor = record_.descriptorParameters->descriptor;
  }
  // The finished copy becomes the picture; the old buffer stays with the
  // host, where the next run's copy reuses it without new memory.
  if (result.result == noErr) {
    if (impl.work != &picture) {
      impl.CompleteCopy();
      std::swap(picture, impl.copy);
    }
    result.pictureKept = true;
  }
  record_.inData = nullptr;
  record_.outData = nullptr;
  record_.maskData = nullptr;
  impl.outPending = false;
  impl.options = nullptr;
  impl.result = nullptr;
  return result;
}

}  // namespace host
