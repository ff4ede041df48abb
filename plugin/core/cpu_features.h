// Which instruction sets the processor running the plug-in offers. The plug-in
// is built for the baseline of its architecture; the few loops that gain from
// wider vectors carry extra versions, chosen once at run time from this answer.
#pragma once

namespace cpu {

// Instruction-set levels, each implying the ones before it on its
// architecture. kScalar is plain C++ and runs everywhere.
enum class Isa : int {
  kScalar = 0,
  kSse2 = 1,    // x86 baseline (every x86-64 processor)
  kAvx2 = 2,    // AVX2 (with SSSE3 and SSE4.1, which every AVX2 processor has)
  kAvx512 = 3,  // AVX-512 F, BW and VL
  kNeon = 4,    // Arm Advanced SIMD (no kernels yet)
};
inline constexpr int kIsaCount = 5;

// True when this processor and its operating system can run code built for
// `isa` (the OS must save the wider registers across task switches).
bool SupportsIsa(Isa isa);

// A short lower-case name ("scalar", "sse2", "avx2", "avx512", "neon").
const char* IsaName(Isa isa);

}  // namespace cpu
