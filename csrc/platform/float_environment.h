#pragma once
// Work-groups run with IEEE arithmetic whatever the launching thread set: round to nearest,
// subnormal operands and results kept. torch.set_flush_denormal(True) sets denormals-are-zero
// and flush-to-zero on x86, and a launch runs some of its groups on the launching thread;
// kernels that build values from bit patterns (binary16 and fp8 decodes, exact roundings) would
// otherwise give different bits there than on the pool's threads.

#include <cstdint>
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace hostxpu {

class IeeeFloatScope {
 public:
#if defined(__x86_64__) || defined(__i386__)
  IeeeFloatScope() : saved_(_mm_getcsr()) {
    const uint32_t ieee = saved_ & ~(kFlushToZero | kRounding | kDenormalsAreZero);
    if (ieee != saved_) _mm_setcsr(ieee);
  }
  ~IeeeFloatScope() {
    if (_mm_getcsr() != saved_) _mm_setcsr(saved_);
  }
#else
  IeeeFloatScope() = default;  // elsewhere the default environment is assumed
#endif
  IeeeFloatScope(const IeeeFloatScope&) = delete;
  IeeeFloatScope& operator=(const IeeeFloatScope&) = delete;

#if defined(__x86_64__) || defined(__i386__)
 private:
  static constexpr uint32_t kFlushToZero = 1u << 15, kRounding = 3u << 13, kDenormalsAreZero = 1u << 6;
  const uint32_t saved_;
#endif
};

}  // namespace hostxpu
