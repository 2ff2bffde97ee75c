#pragma once
// The vector-path kernels for one activation row: linear_forward_kernel (R = 4 rows per
// work-group) and mlp_forward_kernel (R = 2 rows of the gate and of the up matrix), over the
// planar q4_0 (Q = 2) and q4_0_woq (Q = 34) layouts. Each work-group has L = 4 work-items and
// produces rows R w .. R w + R - 1; the launch covers N / R whole work-groups, so the last
// N mod R outputs are not written.

#include <c10/core/Device.h>

#include <cstdint>

#include "common/submit_kernel.h"
#include "vec/work_group.h"

namespace vorn::vec {

// Launches the N / R work-groups of a kernel over one activation row, whose kStreams streams are
// rows row .. row + R - 1 of each of the kStreams / R matrices (stream s: row row + s % R of
// matrix s / R); finish(totals, row) writes the group's outputs from its streams' totals.
template <class T, int R, int L, int S, int Q, class Finish>
void launch_row_groups(const char* kernel, const void* input, const formats::Packed<VecFormat<Q>>* const* matrices,
                       int K, int N, c10::Device device, const Finish& finish) {
  const int blocks_per_row = K / 64;
  const int steps = K / 256;
  const auto* x = static_cast<const T*>(input);
  const std::string name = kernel_name<T, R, L, S, Q>(kernel);
  const hostxpu::kernel_desc desc{name, hostxpu::nd_range(static_cast<size_t>(N / R) * L, L), 0,
                                  kGroupLocalBytes<L>};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          const int64_t row = static_cast<int64_t>(g.linear_id) * R;
          WorkItems<VecFormat<Q>, T> items{x, {}, {}, {}, blocks_per_row, steps, L, R, nullptr};
          for (int s = 0; s < kStreams; ++s) {
            items.matrix[s] = matrices[s / R];
            items.first_block[s] = (row + s % R) * blocks_per_row;
          }
          float totals[kStreams];
          group_totals<R, L>(items, g.local_as<float>(), totals);
          finish(totals, row);
        });
      },
      device, name.c_str());
}

template <class T, int R, int L, int S, int Q>
void linear_forward_kernel(const void* input, const uint8_t* weight, void* output, int K, int N,
                           c10::Device device) {
  static_assert(R == kStreams && S == kLanes<T>, "one stream per row, one register of lanes");
  const auto matrix = vec_matrix<VecFormat<Q>>(weight, static_cast<int64_t>(K / 64) * N);
  const formats::Packed<VecFormat<Q>>* matrices[] = {&matrix};
  auto* out = static_cast<T*>(output);
  launch_row_groups<T, R, L, S, Q>("linear_forward_kernel", input, matrices, K, N, device,
                                   [&](const float* totals, int64_t row) {
                                     for (int r = 0; r < R; ++r) out[row + r] = T(totals[r]);
                                   });
}

template <class T, int R, int L, int S, int Q>
void mlp_forward_kernel(const void* input, const uint8_t* weight1, const uint8_t* weight2, void* output, int K,
                        int N, c10::Device device) {
  static_assert(2 * R == kStreams && S == kLanes<T>, "gate and up rows fill the streams");
  const int64_t blocks = static_cast<int64_t>(K / 64) * N;
  const auto gate = vec_matrix<VecFormat<Q>>(weight1, blocks);
  const auto up = vec_matrix<VecFormat<Q>>(weight2, blocks);
  const formats::Packed<VecFormat<Q>>* matrices[] = {&gate, &up};
  auto* out = static_cast<T*>(output);
  launch_row_groups<T, R, L, S, Q>("mlp_forward_kernel", input, matrices, K, N, device,
                                   [&](const float* totals, int64_t row) {
                                     for (int r = 0; r < R; ++r) out[row + r] = T(silu_times(totals[r], totals[R + r]));
                                   });
}

}  // namespace vorn::vec
