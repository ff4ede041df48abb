// The compiler's run-time processor check: on x86 it reads CPUID and, for the
// wide registers, XGETBV, so an instruction set counts as present only when
// the operating system also saves its registers.
#include "plugin/core/cpu_features.h"

namespace cpu {

bool SupportsIsa(Isa isa) {
  switch (isa) {
    case Isa::kScalar:
      return true;
#if defined(__x86_64__) || defined(__i386__)
    case Isa::kSse2:
      return __builtin_cpu_supports("sse2");
    case Isa::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("ssse3") &&
             __builtin_cpu_supports("sse4.1");
    case Isa::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx2");
#endif
    default:
      return false;
  }
}

const char* IsaName(Isa isa) {
  switch (isa) {
    case Isa::kScalar:
      return "scalar";
    case Isa::kSse2:
      return "sse2";
    case Isa::kAvx2:
      return "avx2";
    case Isa::kAvx512:
      return "avx512";
    case Isa::kNeon:
      return "neon";
  }
  return "unknown";
}

}  // namespace cpu
