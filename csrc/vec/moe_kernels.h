#pragma once
// Mixture-of-experts kernels: the vector-path work-group algorithm (vec/work_group.h) run for
// every (token, slot) pair, each slot reaching its expert's packed matrices through tables of
// device addresses. Launch: global (S, (N / R) * 4), local (1, 4); dimension 0 is the slot t,
// work-group w of dimension 1 produces outputs R w .. R w + R - 1 of row t.
//
//   up kernels (R = 2):  out[t, n] = act(x W_gate(e)^T)[n] * (x W_up(e)^T)[n]
//   down kernels (R = 4): out[t, n] = eweights[t] * (x_t W_down(e)^T)[n]
// with e = ids[t]. The host entries check every id and address before launching.

#include <c10/core/Device.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string>

#include "common/submit_kernel.h"
#include "vec/work_group.h"

namespace vorn::vec {

// Gate activations of the batch up kernels.
enum class GateActivation { silu = 0, gelu = 1 };

// GELU (tanh form) of g times u: tanh through base-2 exponentials in fp32, the three products
// in double. Where the exponentials overflow fp32, tanh takes its limit +-1 instead of NaN.
inline float gelu_times(float g, float u) {
  const float x = g + 0.044715f * (g * g * g);
  const float a = std::exp2(1.1511040925979614f * x), b = std::exp2(-1.1511040925979614f * x);
  const float th = std::isinf(a) ? 1.0f : std::isinf(b) ? -1.0f : (a - b) / (a + b);
  return static_cast<float>(0.5 * static_cast<double>(g) * static_cast<double>(th + 1.0f) * static_cast<double>(u));
}

inline float activate(GateActivation act, float g, float u) {
  return act == GateActivation::gelu ? gelu_times(g, u) : silu_times(g, u);
}

inline const uint8_t* table_entry(const uint64_t* table, int64_t expert) {
  return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(table[expert]));
}

// The expert's fp32 scale: the first element of the allocation its scale-table entry names.
inline float expert_scale(const uint64_t* table, int64_t expert) {
  return *reinterpret_cast<const float*>(table_entry(table, expert));
}

// Submits a slot kernel: `group(t, w, local, totals)` fills the kStreams totals of work-group
// w of slot t; `store(t, w, totals)` writes them.
template <int R, int L, class Group>
void launch_slots(const std::string& name, int slots, int N, c10::Device device, Group group) {
  const hostxpu::kernel_desc desc{
      name,
      hostxpu::nd_range(std::array<size_t, 2>{static_cast<size_t>(slots), static_cast<size_t>(N / R) * L},
                        std::array<size_t, 2>{1, L}),
      0,
      kGroupLocalBytes<L>};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          group(static_cast<int64_t>(g.id[0]), static_cast<int64_t>(g.id[1]), g.local_as<float>());
        });
      },
      device, name.c_str());
}

// Up: gate rows 2w, 2w + 1 and up rows 2w, 2w + 1 of expert e over activation row x.
template <int R, int L, class F, class T>
void gate_up_totals(const T* x, const formats::Packed<F>& gate, int64_t gate_row, const formats::Packed<F>& up,
                    int64_t up_row, float scale, int blocks_per_row, int steps, float* local, float* totals) {
  WorkItems<F, T> items{x, {}, {}, {}, blocks_per_row, steps, L, R, nullptr};
  for (int r = 0; r < R; ++r) {
    items.matrix[r] = &gate;
    items.matrix[R + r] = &up;
    items.first_block[r] = (gate_row + r) * blocks_per_row;
    items.first_block[R + r] = (up_row + r) * blocks_per_row;
    items.expert_scale[r] = items.expert_scale[R + r] = scale;
  }
  group_totals<R, L>(items, local, totals);
}

template <class T, int R, int L, int S, int Q>
void moe_forward_up_kernel(const void* input, const int64_t* ids, const uint64_t* gate_table,
                           const uint64_t* up_table, void* output, int slots, int K, int N, c10::Device device) {
  static_assert(2 * R == kStreams && S == kLanes<T>, "gate and up rows fill the streams");
  using F = VecFormat<Q>;
  const int blocks_per_row = K / 64, steps = K / 256;
  const auto* x = static_cast<const T*>(input);
  auto* out = static_cast<T*>(output);
  launch_slots<R, L>(kernel_name<T, R, L, S, Q>("moe_forward_up_kernel"), slots, N, device,
                     [&](int64_t t, int64_t w, float* local) {
                       const int64_t e = ids[t];
                       const int64_t blocks = static_cast<int64_t>(N) * blocks_per_row;
                       const auto gate = vec_matrix<F>(table_entry(gate_table, e), blocks);
                       const auto up = vec_matrix<F>(table_entry(up_table, e), blocks);
                       float totals[kStreams];
                       gate_up_totals<R, L>(x, gate, R * w, up, R * w, 1.0f, blocks_per_row, steps, local, totals);
                       for (int r = 0; r < R; ++r) out[t * N + R * w + r] = T(silu_times(totals[r], totals[R + r]));
                     });
}

// The batch forms: one fused matrix of 2N rows per expert (gate rows, then up rows); slot t
// reads activation row t / top_k. `scale_table` is null for the formats that carry their scales.
template <class T, int R, int L, int S, int Q>
void fused_gate_up(const char* kernel, const void* input, const int64_t* ids, const uint64_t* table,
                   const uint64_t* scale_table, void* output, int slots, int K, int N, int top_k,
                   GateActivation act, c10::Device device) {
  static_assert(2 * R == kStreams && S == kLanes<T>, "gate and up rows fill the streams");
  using F = VecFormat<Q>;
  const int blocks_per_row = K / 64, steps = K / 256;
  const auto* x = static_cast<const T*>(input);
  auto* out = static_cast<T*>(output);
  launch_slots<R, L>(kernel_name<T, R, L, S, Q>(kernel), slots, N, device, [&](int64_t t, int64_t w, float* local) {
    const int64_t e = ids[t];
    const auto matrix = vec_matrix<F>(table_entry(table, e), 2 * static_cast<int64_t>(N) * blocks_per_row);
    const float scale = scale_table ? expert_scale(scale_table, e) : 1.0f;
    float totals[kStreams];
    gate_up_totals<R, L>(x + (t / top_k) * K, matrix, R * w, matrix, N + R * w, scale, blocks_per_row, steps, local,
                         totals);
    for (int r = 0; r < R; ++r) out[t * N + R * w + r] = T(activate(act, totals[r], totals[R + r]));
  });
}

template <class T, int R, int L, int S, int Q>
void moe_forward_up_batched_fused_gate_up_kernel(const void* input, const int64_t* ids, const uint64_t* table,
                                                 void* output, int slots, int K, int N, int top_k, int act_type,
                                                 c10::Device device) {
  fused_gate_up<T, R, L, S, Q>("moe_forward_up_batched_fused_gate_up_kernel", input, ids, table, nullptr, output,
                               slots, K, N, top_k, static_cast<GateActivation>(act_type), device);
}

template <class T, int R, int L, int S, int Q>
void moe_forward_up_batched_fused_gate_up_fp8_kernel(const void* input, const int64_t* ids, const uint64_t* table,
                                                     const uint64_t* scale_table, void* output, int slots, int K,
                                                     int N, int top_k, int act_type, c10::Device device) {
  fused_gate_up<T, R, L, S, Q>("moe_forward_up_batched_fused_gate_up_fp8_kernel", input, ids, table, scale_table,
                               output, slots, K, N, top_k, static_cast<GateActivation>(act_type), device);
}

// Down: rows 4w .. 4w + 3 of expert e over row t of the up buffer, times the routing weight.
template <class T, int R, int L, int S, int Q>
void down(const char* kernel, const void* input, const int64_t* ids, const void* routing, const uint64_t* table,
          const uint64_t* scale_table, void* output, int slots, int K, int N, c10::Device device) {
  static_assert(R == kStreams && S == kLanes<T>, "one stream per row");
  using F = VecFormat<Q>;
  const int blocks_per_row = K / 64, steps = K / 256;
  const auto* x = static_cast<const T*>(input);
  const auto* eweights = static_cast<const T*>(routing);
  auto* out = static_cast<T*>(output);
  launch_slots<R, L>(kernel_name<T, R, L, S, Q>(kernel), slots, N, device, [&](int64_t t, int64_t w, float* local) {
    const int64_t e = ids[t];
    const auto matrix = vec_matrix<F>(table_entry(table, e), static_cast<int64_t>(N) * blocks_per_row);
    WorkItems<F, T> items{x + t * K, {}, {}, {}, blocks_per_row, steps, L, R, nullptr};
    for (int r = 0; r < R; ++r) {
      items.matrix[r] = &matrix;
      items.first_block[r] = (R * w + r) * blocks_per_row;
      items.expert_scale[r] = scale_table ? expert_scale(scale_table, e) : 1.0f;
    }
    float totals[kStreams];
    group_totals<R, L>(items, local, totals);
    const float weight = static_cast<float>(eweights[t]);
    for (int r = 0; r < R; ++r) out[t * N + R * w + r] = T(totals[r] * weight);
  });
}

template <class T, int R, int L, int S, int Q>
void moe_forward_down_kernel(const void* input, const int64_t* ids, const void* routing, const uint64_t* table,
                             void* output, int slots, int K, int N, c10::Device device) {
  down<T, R, L, S, Q>("moe_forward_down_kernel", input, ids, routing, table, nullptr, output, slots, K, N, device);
}

template <class T, int R, int L, int S, int Q>
void moe_forward_down_fp8_kernel(const void* input, const int64_t* ids, const void* routing, const uint64_t* table,
                                 const uint64_t* scale_table, void* output, int slots, int K, int N,
                                 c10::Device device) {
  down<T, R, L, S, Q>("moe_forward_down_fp8_kernel", input, ids, routing, table, scale_table, output, slots, K, N,
                      device);
}

}  // namespace vorn::vec
