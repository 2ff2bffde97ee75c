#pragma once
// The fused gate/up kernel of iq2_xxs weights against a q8_1-quantized activation row.
//
// Work-group g owns rows 2g and 2g + 1 (second local index); each of its 32 lanes handles
// super-block 4s + lane / 8 and its 32-weight sub-block lane % 8 for every step s, first over
// W1 (gate) and then over W2 (up), in fp32: the lanes of the q8_1 matrix-vector kernel. A tree
// over the lanes reduces each (matrix, row); lane 0 applies the activation. A row at or beyond N
// computes and writes nothing.

#include <c10/core/Device.h>

#include <array>
#include <cstdint>

#include "common/per_launch.h"
#include "common/submit_kernel.h"
#include "linear/block_q8_1.h"
#include "linear/q8_1_slices.h"
#include "mlp/mlp_kernel.h"

namespace vorn::kernels {

template <class T>
void mlp_forward_iq2_xxs_kernel(const uint8_t* q8_row, const uint8_t* weight1, const uint8_t* weight2, T* output,
                                int64_t K, int64_t N, int act_type, const c10::Device& device) {
  constexpr int kLanes = 32, kRows = 2, kBlockBytes = 66;
  const int64_t super_blocks = K / 256;
  const auto* q8 = reinterpret_cast<const block_q8_1*>(q8_row);
  const size_t groups = static_cast<size_t>((N + kRows - 1) / kRows);
  hostxpu::kernel_desc desc{"mlp_forward_iq2_xxs_kernel",
                            hostxpu::nd_range(std::array<size_t, 2>{groups * kLanes, kRows},
                                              std::array<size_t, 2>{kLanes, kRows}),
                            32, sizeof(float) * 2 * kRows * kLanes};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          float* local = g.local_as<float>();  // [matrix][row][lane]
          using Row = Iq2XxsSuperBlock::Row;
          const auto& activations = per_launch<Row>(g.launch_serial, [&] { return Row(q8, K / kQ8_1Block); });
          for (int row_in_group = 0; row_in_group < kRows; ++row_in_group) {
            const int64_t row = static_cast<int64_t>(g.id[0]) * kRows + row_in_group;
            if (row >= N) continue;
            float total[2];
            for (int m = 0; m < 2; ++m) {
              const uint8_t* w = (m == 0 ? weight1 : weight2) + row * super_blocks * kBlockBytes;
              float* partial = local + m * 64 + row_in_group * kLanes;
              total[m] = row_total<Iq2XxsSuperBlock>(w, activations, super_blocks, partial);
            }
            output[row] = T(gated_activation(total[0], total[1], act_type));
          }
        });
      },
      device, "mlp_forward_iq2_xxs_kernel");
}

}  // namespace vorn::kernels
