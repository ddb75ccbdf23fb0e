#include "pelnor/text/simd.h"

#include <cstdlib>
#include <string_view>

namespace pelnor::simd {

bool kernel_supported(Kernel kernel) {
  switch (kernel) {
    case Kernel::kScalar:
      return true;
#if defined(PELNOR_X86_KERNELS)
    case Kernel::kSse2:
      return true;
    case Kernel::kAvx2:
      return __builtin_cpu_supports("avx2");
#else
    case Kernel::kSse2:
    case Kernel::kAvx2:
      return false;
#endif
  }
  return false;
}

const char* kernel_name(Kernel kernel) {
  switch (kernel) {
    case Kernel::kScalar:
      return "scalar";
    case Kernel::kSse2:
      return "sse2";
    case Kernel::kAvx2:
      return "avx2";
  }
  return "";
}

namespace {

Kernel choose_kernel() {
  const char* forced = std::getenv("PELNOR_KERNEL");
  for (const Kernel kernel : kAllKernels) {
    if (forced != nullptr && forced == std::string_view(kernel_name(kernel)) &&
        kernel_supported(kernel)) {
      return kernel;
    }
  }
  Kernel widest = Kernel::kScalar;
  for (const Kernel kernel : kAllKernels) {
    if (kernel_supported(kernel)) widest = kernel;
  }
  return widest;
}

}  // namespace

Kernel active_kernel() {
  static const Kernel chosen = choose_kernel();
  return chosen;
}

}  // namespace pelnor::simd
