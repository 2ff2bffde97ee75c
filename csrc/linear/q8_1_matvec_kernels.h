#pragma once
// Matrix-vector kernels over q8_1 activations for the 256-weight interleaved formats q2_k,
// iq2_xxs and iq1_s: out[row] = sum over the row's super-blocks of the format's vec_dot.
//
// One work-group of 32 work-items per output row. Work-item l takes super-block phase
// p = l / S and slice iqs = l mod S (S slices per super-block) and visits super-blocks
// p, p + 32/S, p + 2*32/S, ... of its row, accumulating in fp32; the 32 partial sums are then
// reduced through local memory. On the host a work-group walks its row's super-blocks in
// order and hands each one to the work-items of its phase, which keeps every work-item's own
// order of additions.

#include <c10/core/Device.h>

#include <cstdint>

#include "common/per_launch.h"
#include "common/submit_kernel.h"
#include "formats/qtype.h"
#include "linear/block_q8_1.h"
#include "linear/q8_1_slices.h"

namespace vorn::kernels {

// Slices: a super-block's slice set of q8_1_slices.h.
template <class Slices, class T>
void q8_1_matvec_kernel(const char* name, int sub_group_size, const uint8_t* weight, const uint8_t* q8, T* out,
                        uint64_t K, uint64_t N, const c10::Device& device) {
  using F = typename Slices::F;
  static_assert(F::kBlock == 256 && 32 % Slices::kSlices == 0, "super-blocks of 256 weights, 32 work-items per row");
  constexpr int kWorkItems = 32;
  const int64_t row_bytes = static_cast<int64_t>(K / 256 * formats::GGML_TYPE_SIZE[F::kQtype]);
  using Row = typename Slices::Row;
  const auto* y = reinterpret_cast<const block_q8_1*>(q8);
  const hostxpu::kernel_desc desc{name, hostxpu::nd_range(N * kWorkItems, kWorkItems), sub_group_size,
                                  kWorkItems * sizeof(float)};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          const Row& row =
              per_launch<Row>(g.launch_serial, [&] { return Row(y, static_cast<int64_t>(K / kQ8_1Block)); });
          out[g.linear_id] = T(row_total<Slices>(weight + static_cast<int64_t>(g.linear_id) * row_bytes, row,
                                                 static_cast<int64_t>(K / 256), g.local_as<float>()));
        });
      },
      device, name);
}

// The named kernels: (weight, q8, out, K, N, device), K a multiple of 256.
template <class T>
void qlinear_xpu_kernel_q2_k_q8_1(const uint8_t* weight, const uint8_t* q8, T* out, uint64_t K, uint64_t N,
                                  const c10::Device& device) {
  q8_1_matvec_kernel<Q2KSuperBlock>("qlinear_xpu_kernel_q2_k_q8_1", 0, weight, q8, out, K, N, device);
}

template <class T>
void qlinear_xpu_kernel_iq2_xxs_q8_1(const uint8_t* weight, const uint8_t* q8, T* out, uint64_t K, uint64_t N,
                                     const c10::Device& device) {
  q8_1_matvec_kernel<Iq2XxsSuperBlock>("qlinear_xpu_kernel_iq2_xxs_q8_1", 32, weight, q8, out, K, N, device);
}

template <class T>
void qlinear_xpu_kernel_iq1_s_q8_1(const uint8_t* weight, const uint8_t* q8, T* out, uint64_t K, uint64_t N,
                                   const c10::Device& device) {
  q8_1_matvec_kernel<Iq1SSuperBlock>("qlinear_xpu_kernel_iq1_s_q8_1", 32, weight, q8, out, K, N, device);
}

}  // namespace vorn::kernels
