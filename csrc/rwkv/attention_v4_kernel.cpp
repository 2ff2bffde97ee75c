#include "rwkv/attention_v4_kernel.h"

#include <algorithm>
#include <array>
#include <string>

#include "common/submit_kernel.h"
#include "rwkv/element.h"
#include "rwkv/fast_exp.h"
#include "common/vector_clones.h"

namespace rwkv {
namespace {

template <typename scalar_t>
struct AttentionV4Args {
  const scalar_t *time_decay, *time_first, *key, *value;
  scalar_t* result;
  float *num_state, *den_state, *max_state;
  size_t T, C;
};

// Work-item i of the group owns channel c0 + i of batch row b. The items are independent (no
// barriers), so the time loop runs outside the item loop and each step covers the whole group.
template <typename scalar_t, int kItems>
VORN_VECTOR_CLONES void attention_v4_group(const AttentionV4Args<scalar_t>& a, size_t b, size_t c0) {
  float u[kItems], w[kItems], num[kItems], den[kItems], p[kItems];
  const size_t state_at = b * a.C + c0;
  for (int i = 0; i < kItems; ++i) {
    u[i] = to_float(a.time_first[c0 + i]);
    w[i] = to_float(a.time_decay[c0 + i]);
    num[i] = a.num_state[state_at + i];
    den[i] = a.den_state[state_at + i];
    p[i] = a.max_state[state_at + i];
  }
  for (size_t t = 0; t < a.T; ++t) {
    const size_t row = (b * a.T + t) * a.C + c0;
    float kk[kItems], vv[kItems], y[kItems];
    for (int i = 0; i < kItems; ++i) {
      kk[i] = to_float(a.key[row + i]);
      vv[i] = to_float(a.value[row + i]);
    }
    for (int i = 0; i < kItems; ++i) {
      float ww = u[i] + kk[i];
      float q = std::max(p[i], ww);
      float e1 = fast_exp(p[i] - q);
      float e2 = fast_exp(ww - q);
      y[i] = (e1 * num[i] + e2 * vv[i]) / (e1 * den[i] + e2);
      ww = w[i] + p[i];
      q = std::max(ww, kk[i]);
      e1 = fast_exp(ww - q);
      e2 = fast_exp(kk[i] - q);
      num[i] = e1 * num[i] + e2 * vv[i];
      den[i] = e1 * den[i] + e2;
      p[i] = q;
    }
    for (int i = 0; i < kItems; ++i) a.result[row + i] = from_float<scalar_t>(y[i]);
  }
  for (int i = 0; i < kItems; ++i) {
    a.num_state[state_at + i] = num[i];
    a.den_state[state_at + i] = den[i];
    a.max_state[state_at + i] = p[i];
  }
}

}  // namespace

template <typename scalar_t, int kWorkGroup, int kSubGroup>
void rwkv_linear_attention_kernel_v4(const scalar_t* time_decay, const scalar_t* time_first,
                                     const scalar_t* key, const scalar_t* value, scalar_t* result,
                                     float* num_state, float* den_state, float* max_state, int64_t B,
                                     int64_t T, int64_t C, const c10::Device& device) {
  static const std::string name = std::string("rwkv_linear_attention_kernel_v4<") +
                                  element_name<scalar_t>() + ", " + std::to_string(kWorkGroup) + ", " +
                                  std::to_string(kSubGroup) + ">";
  const AttentionV4Args<scalar_t> args{time_decay, time_first, key,       value,
                                       result,     num_state,  den_state, max_state,
                                       static_cast<size_t>(T), static_cast<size_t>(C)};
  const hostxpu::nd_range range(std::array<size_t, 2>{static_cast<size_t>(B), static_cast<size_t>(C)},
                                std::array<size_t, 2>{1, kWorkGroup});
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(hostxpu::kernel_desc{name, range, kSubGroup, 0}, [=](const hostxpu::work_group& g) {
          attention_v4_group<scalar_t, kWorkGroup>(args, g.id[0], g.id[1] * kWorkGroup);
        });
      },
      device, name.c_str());
}

template void rwkv_linear_attention_kernel_v4<float, 32, 16>(const float*, const float*, const float*,
                                                             const float*, float*, float*, float*, float*,
                                                             int64_t, int64_t, int64_t, const c10::Device&);
template void rwkv_linear_attention_kernel_v4<half, 32, 16>(const half*, const half*, const half*,
                                                            const half*, half*, float*, float*, float*,
                                                            int64_t, int64_t, int64_t, const c10::Device&);

}  // namespace rwkv
