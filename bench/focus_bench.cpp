// Speed of the focus operations against the machine's own limit.
//
// Add and Show run through ENTRYPOINT with the in-memory host, exactly as an
// image editor drives them (rows copied in, the operation, rows copied back).
// Each reports, besides its time, the bytes that it must at least move through
// memory (counter "MB_moved": every read and every write of the host's rows,
// the run's colour store and the buffer files) and the fraction of the memcpy
// bandwidth measured in the same run that this amounts to ("of_memcpy"; 1.0
// would be an operation running as fast as copying its data).
//
// Files go to a private folder under $TMPDIR (or /tmp), removed at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cli/hostlib/filter_host.h"
#include "cli/hostlib/scripting_host.h"
#include "interface/filter_record.h"
#include "plugin/core/cpu_features.h"
#include "plugin/focus/dispatch.h"
#include "plugin/focus/kernels.h"

namespace {

// ---------------------------------------------------------------------------
// The memory limit: bytes read plus bytes written per second by memcpy on
// buffers far larger than the caches.
double g_memcpy_rate = 0.0;

double MeasureMemcpyRate() {
  constexpr std::size_t kBytes = std::size_t(256) << 20;
  std::vector<char> from(kBytes, 1), to(kBytes, 2);
  double best = 0.0;
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    std::memcpy(to.data(), from.data(), kBytes);
    benchmark::DoNotOptimize(to.data());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best = std::max(best, 2.0 * double(kBytes) / seconds);
  }
  return best;
}

void BM_Memcpy(benchmark::State& state) {
  const std::size_t bytes = std::size_t(state.range(0)) << 20;
  std::vector<char> from(bytes, 1), to(bytes, 2);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  // Read and written: the same measure as the operations' MB_moved.
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(2 * bytes));
}
BENCHMARK(BM_Memcpy)->Arg(256)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// The measure kernel alone, per instruction set, on rows of 6000 RGB pixels.
void BM_MeasureRow(benchmark::State& state) {
  const auto isa = static_cast<cpu::Isa>(state.range(0));
  const FocusKernels* kernels = FocusKernelsFor(isa);
  if (kernels == nullptr) {
    state.SkipWithError("not run by this processor");
    return;
  }
  constexpr int kWidth = 6000;
  std::mt19937 rng(5);
  std::vector<std::uint16_t> storage[kWindowRows];
  const std::uint16_t* rows[kWindowRows];
  for (int r = 0; r < kWindowRows; ++r) {
    storage[r].resize(std::size_t(kWidth + 4) * 3);
    for (auto& v : storage[r]) v = std::uint16_t(rng() % 32769);
    rows[r] = storage[r].data();
  }
  std::vector<std::uint64_t> out(kWidth);
  for (auto _ : state) {
    kernels->measureRow(rows, kWidth, true, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(cpu::IsaName(isa));
  state.SetItemsProcessed(std::int64_t(state.iterations()) * kWidth);
}
BENCHMARK(BM_MeasureRow)
    ->Arg(int(cpu::Isa::kScalar))
    ->Arg(int(cpu::Isa::kSse2))
    ->Arg(int(cpu::Isa::kAvx2))
    ->Arg(int(cpu::Isa::kAvx512));

// ---------------------------------------------------------------------------
// Add and Show through the entry point.
class Root {
 public:
  Root() {
    const char* tmp = getenv("TMPDIR");
    dir_ = std::filesystem::path(tmp != nullptr ? tmp : "/tmp") /
           ("sharpstack-bench-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
    setenv("SHARPSTACK_ROOT", dir_.string().c_str(), 1);
  }
  ~Root() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::filesystem::path dir_;
};

Root& BenchRoot() {
  static Root root;
  return root;
}

// Width x height for the megapixel sizes benchmarked (3:2 pictures).
void SizeFor(int megapixels, int* width, int* height) {
  *width = megapixels == 24 ? 6000 : megapixels == 6 ? 3000 : 1224;
  *height = megapixels == 24 ? 4000 : megapixels == 6 ? 2000 : 816;
}

struct Editor {
  host::FilterHost host{ENTRYPOINT};
  host::ScriptingHost scripting;

  Editor(int width, int height, int depth, int extra_planes = 0) {
    host.picture.Allocate(width, height, 3, extra_planes, depth);
    // Texture with plenty of detail: every pixel's measure differs from its
    // neighbours'.
    std::mt19937 rng(11);
    const std::uint32_t top = depth == 8 ? 256 : 32769;
    if (depth == 8) {
      for (auto& b : host.picture.data) b = std::uint8_t(rng() % top);
    } else {
      auto* s = reinterpret_cast<std::uint16_t*>(host.picture.data.data());
      const std::size_t n = host.picture.data.size() / 2;
      for (std::size_t i = 0; i < n; ++i) s[i] = std::uint16_t(rng() % top);
    }
  }
  // Runs operation 4 (clear), 5 (add) or 6 (show) with no dialog.
  OSErr Run(std::int32_t operation) {
    scripting.SetPlayback(
        {host::DescriptorItem::Enumerated(host::CodeFromText("EFMd"), host::CodeFromText("rB42"),
                                          std::uint32_t(operation))},
        0);
    host::RunOptions options;
    options.attach = [this](FilterRecord* record) { scripting.Attach(record); };
    // As the command line runs its Adds and Shows: the plug-in's rows go
    // into the picture itself, not into a copy kept for an undo.
    options.inPlace = true;
    return host.Run(options).result;
  }
};

constexpr std::int32_t kClear = 4, kAdd = 5, kShow = 6;

// Bytes an entry-point run must move at the least, C being the colour bytes
// of the picture and P its pixels: the driver reads the host's rows into the
// colour store and back (2C each way); Add reads the colour store (C) and
// reads and writes the count (2 bytes a pixel), measure (4) and colour (6)
// rows of the buffer; Show reads the count and colour rows twice (range and
// output passes) and writes the colour store (C).
double AddBytes(double pixels, int depth) {
  const double c = pixels * 3 * depth / 8;
  return 4 * c + c + 2 * (2 + 4 + 6) * pixels;
}
double ShowBytes(double pixels, int depth) {
  const double c = pixels * 3 * depth / 8;
  return 4 * c + 2 * (2 + 6) * pixels + c;
}

void Report(benchmark::State& state, double pixels, double bytes, bool ok) {
  if (!ok) {
    state.SkipWithError("the run failed");
    return;
  }
  state.counters["MB_moved"] = bytes / 1e6;
  state.counters["s_per_MP"] = benchmark::Counter(
      pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["of_memcpy"] =
      benchmark::Counter(bytes / g_memcpy_rate, benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(std::int64_t(double(state.iterations()) * bytes));
}

// A first Add: the buffer set is made from nothing and every pixel is written.
void BM_AddFirst(benchmark::State& state) {
  BenchRoot();
  int width, height;
  SizeFor(int(state.range(0)), &width, &height);
  const int depth = int(state.range(1));
  Editor editor(width, height, depth);
  bool ok = true;
  for (auto _ : state) {
    state.PauseTiming();
    ok = ok && editor.Run(kClear) == noErr;
    state.ResumeTiming();
    ok = ok && editor.Run(kAdd) == noErr;
  }
  Report(state, double(width) * height, AddBytes(double(width) * height, depth), ok);
}

// A later Add of a picture no sharper anywhere: the set is read, the counts
// written, the measures and colours left alone.
void BM_AddAgain(benchmark::State& state) {
  BenchRoot();
  int width, height;
  SizeFor(int(state.range(0)), &width, &height);
  const int depth = int(state.range(1));
  Editor editor(width, height, depth);
  bool ok = editor.Run(kClear) == noErr && editor.Run(kAdd) == noErr;
  for (auto _ : state) ok = ok && editor.Run(kAdd) == noErr;
  const double pixels = double(width) * height;
  Report(state, pixels, AddBytes(pixels, depth) - 10 * pixels, ok);
}

// Clear Buffer on a picture: no picture work, so this is what the host and
// the row transfer alone cost (the host's copies, rows into the run's store
// and back), the floor under every Add and Show above.
void BM_TransferOnly(benchmark::State& state) {
  BenchRoot();
  int width, height;
  SizeFor(int(state.range(0)), &width, &height);
  const int depth = int(state.range(1));
  Editor editor(width, height, depth);
  bool ok = true;
  for (auto _ : state) ok = ok && editor.Run(kClear) == noErr;
  const double pixels = double(width) * height;
  Report(state, pixels, 4 * pixels * 3 * depth / 8, ok);
}

// The same on a picture with a transparency plane: the driver also splits
// every row into colour and transparency (whitening transparent pixels) and
// interleaves it again on the way back.
void BM_TransferWithAlpha(benchmark::State& state) {
  BenchRoot();
  int width, height;
  SizeFor(int(state.range(0)), &width, &height);
  const int depth = int(state.range(1));
  Editor editor(width, height, depth, 1);
  bool ok = true;
  for (auto _ : state) ok = ok && editor.Run(kClear) == noErr;
  const double pixels = double(width) * height;
  Report(state, pixels, 4 * pixels * 4 * depth / 8, ok);
}

// Show on a picture of the buffer's own size.
void BM_ShowEqualSize(benchmark::State& state) {
  BenchRoot();
  int width, height;
  SizeFor(int(state.range(0)), &width, &height);
  const int depth = int(state.range(1));
  Editor editor(width, height, depth);
  bool ok = editor.Run(kClear) == noErr && editor.Run(kAdd) == noErr;
  for (auto _ : state) ok = ok && editor.Run(kShow) == noErr;
  const double pixels = double(width) * height;
  Report(state, pixels, ShowBytes(pixels, depth), ok);
}

// Show of a 24-megapixel buffer on a picture of half its width and height.
void BM_ShowReduced(benchmark::State& state) {
  BenchRoot();
  const int depth = int(state.range(0));
  bool ok = true;
  {
    Editor big(6000, 4000, depth);
    ok = big.Run(kClear) == noErr && big.Run(kAdd) == noErr;
  }
  Editor editor(3000, 2000, depth);
  for (auto _ : state) ok = ok && editor.Run(kShow) == noErr;
  const double pixels = 24e6;
  Report(state, pixels, ShowBytes(pixels, depth) - 5 * pixels * 3 * depth / 8 * 0.75, ok);
}

// Show of a 6-megapixel buffer on a picture of twice its width and height.
void BM_ShowEnlarged(benchmark::State& state) {
  BenchRoot();
  const int depth = int(state.range(0));
  bool ok = true;
  {
    Editor small(3000, 2000, depth);
    ok = small.Run(kClear) == noErr && small.Run(kAdd) == noErr;
  }
  Editor editor(6000, 4000, depth);
  for (auto _ : state) ok = ok && editor.Run(kShow) == noErr;
  const double pixels = 24e6;
  Report(state, pixels, ShowBytes(6e6, depth) + 5 * pixels * 3 * depth / 8, ok);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int mp : {6, 24})
    for (int depth : {8, 16}) b->Args({mp, depth});
  b->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(3);
}

BENCHMARK(BM_TransferOnly)->Apply(Sizes);
BENCHMARK(BM_TransferWithAlpha)->Apply(Sizes);
BENCHMARK(BM_AddFirst)->Apply(Sizes);
BENCHMARK(BM_AddAgain)->Apply(Sizes);
BENCHMARK(BM_ShowEqualSize)->Apply(Sizes);
BENCHMARK(BM_ShowReduced)
    ->Arg(8)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
BENCHMARK(BM_ShowEnlarged)
    ->Arg(8)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  g_memcpy_rate = MeasureMemcpyRate();
  std::printf("memcpy: %.2f GB/s read + written (kernels in use: %s)\n", g_memcpy_rate / 1e9,
              cpu::IsaName(ActiveFocusKernels().isa));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
