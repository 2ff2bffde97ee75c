#pragma once
// Explicit-SIMD dequantize kernels: one work-item per work-group, each owning N consecutive
// blocks. The decode runs in the arithmetic type A (fp16 for most formats, even when the output
// T is fp32) and the result is widened to T when stored.
//
// The launch covers ceil(count / N) work-items: the last one owns the count mod N trailing
// blocks when count is not a multiple of N, so every block of the stream is expanded.

#include <c10/core/Device.h>
#include <c10/util/Half.h>

#include <cstdint>

#include "common/streaming_stores.h"
#include "common/submit_kernel.h"
#include "formats/formats.h"
#include "linear/expand_blocks.h"

namespace vorn::kernels {

template <class F, int N, class A, class T>
void esimd_dequantize_kernel(const char* name, const uint8_t* weight, T* out, int64_t count,
                             const c10::Device& device) {
  const formats::Packed<F> packed(weight, static_cast<int32_t>(count * F::kBlock));
  const size_t threads = static_cast<size_t>((count + N - 1) / N);
  const bool streamed = common_utils::streams_output(count * F::kBlock * int64_t(sizeof(T)));
  hostxpu::kernel_desc desc{name, hostxpu::nd_range(threads, 1), 0, 0};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          const int64_t first = static_cast<int64_t>(g.linear_id) * N;
          const int64_t last = std::min<int64_t>(first + N, count);
          expand_blocks<F, A, T>(packed, first, last - first, out + first * F::kBlock, streamed);
        });
      },
      device, name);
}

}  // namespace vorn::kernels
