#include "rwkv/attention_v5_kernel.h"

#include <array>
#include <string>

#include "common/submit_kernel.h"
#include "common/vector_clones.h"

namespace rwkv {
namespace {

struct AttentionV5Args {
  const float *time_decay, *time_first, *receptance, *key, *value;
  float *state, *result;
  size_t H, T;
  SequenceStrides strides;
};

// Work-item i of the group owns value channel i0 + i of head h, and with it the state column
// S[j] = state[b, h, j, i0 + i]. The group holds its items' columns side by side, S[j][i], so that
// each step over j covers the whole group; every item still sums its output over j = 0 … N-1 in
// increasing order, with the update of the same j, and with the state before this step.
template <int kHeadSize, int kItems>
VORN_VECTOR_CLONES void attention_v5_group(const AttentionV5Args& a, size_t b, size_t h, size_t i0) {
  float S[kHeadSize][kItems];
  float w[kHeadSize], u[kHeadSize];
  float* const state = a.state + (b * a.H + h) * kHeadSize * kHeadSize + i0;
  for (int j = 0; j < kHeadSize; ++j) {
    w[j] = a.time_decay[h * kHeadSize + j];
    u[j] = a.time_first[h * kHeadSize + j];
    for (int i = 0; i < kItems; ++i) S[j][i] = state[j * kHeadSize + i];
  }
  for (size_t t = 0; t < a.T; ++t) {
    const int64_t at = static_cast<int64_t>(b) * a.strides.batch + static_cast<int64_t>(h) * a.strides.head +
                       static_cast<int64_t>(t) * a.strides.time;
    const float* r = a.receptance + at;
    const float* k = a.key + at;
    const float* v = a.value + at + i0;
    float y[kItems] = {};
    for (int j = 0; j < kHeadSize; ++j) {
      const float rj = r[j], kj = k[j], uj = u[j], wj = w[j];
      for (int i = 0; i < kItems; ++i) {
        const float kv = kj * v[i];
        y[i] += rj * (uj * kv + S[j][i]);
        S[j][i] = S[j][i] * wj + kv;
      }
    }
    float* out = a.result + ((b * a.T + t) * a.H + h) * kHeadSize + i0;
    for (int i = 0; i < kItems; ++i) out[i] = y[i];
  }
  for (int j = 0; j < kHeadSize; ++j) {
    for (int i = 0; i < kItems; ++i) state[j * kHeadSize + i] = S[j][i];
  }
}

}  // namespace

template <int kHeadSize, int kWorkGroup, int kSubGroup>
void rwkv_linear_attention_kernel_v5(const float* time_decay, const float* time_first,
                                     const float* receptance, const float* key, const float* value,
                                     float* state, float* result, int64_t B, int64_t H, int64_t T,
                                     SequenceStrides strides, const c10::Device& device) {
  static_assert(kHeadSize % kWorkGroup == 0, "work-groups split a head's value channels evenly");
  static const std::string name = "rwkv_linear_attention_kernel_v5<" + std::to_string(kHeadSize) + ", " +
                                  std::to_string(kWorkGroup) + ", " + std::to_string(kSubGroup) + ">";
  const AttentionV5Args args{time_decay, time_first, receptance, key, value, state, result,
                             static_cast<size_t>(H), static_cast<size_t>(T), strides};
  const hostxpu::nd_range range(std::array<size_t, 3>{static_cast<size_t>(B), static_cast<size_t>(H), kHeadSize},
                                std::array<size_t, 3>{1, 1, kWorkGroup});
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(hostxpu::kernel_desc{name, range, kSubGroup, 0}, [=](const hostxpu::work_group& g) {
          attention_v5_group<kHeadSize, kWorkGroup>(args, g.id[0], g.id[1], g.id[2] * kWorkGroup);
        });
      },
      device, name.c_str());
}

template void rwkv_linear_attention_kernel_v5<64, 32, 16>(const float*, const float*, const float*,
                                                          const float*, const float*, float*, float*,
                                                          int64_t, int64_t, int64_t, SequenceStrides,
                                                          const c10::Device&);

}  // namespace rwkv
