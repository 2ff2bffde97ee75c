#include "rwkv/time_shift_kernel.h"

#include <array>
#include <string>

#include "common/submit_kernel.h"
#include "rwkv/element.h"
#include "common/vector_clones.h"

namespace rwkv {
namespace {

template <typename scalar_t>
struct TimeShiftArgs {
  const scalar_t *hidden, *shifted, *mix;
  scalar_t* result;
  size_t M, plane, C;  // plane: B·T·C elements of one result plane
};

// Work-item i of the group owns element (b, t, c0 + i): it reads its input once and writes all
// M planes, as s + mix·(x − s) with every operation rounded to the element type.
template <typename scalar_t, int kItems>
VORN_VECTOR_CLONES void time_shift_group(const TimeShiftArgs<scalar_t>& a, size_t at, size_t c0) {
  scalar_t s[kItems], d[kItems];
  for (int i = 0; i < kItems; ++i) {
    s[i] = a.shifted[at + i];
    d[i] = sub(a.hidden[at + i], s[i]);
  }
  for (size_t m = 0; m < a.M; ++m) {
    const scalar_t* mix = a.mix + m * a.C + c0;
    scalar_t* out = a.result + m * a.plane + at;
    for (int i = 0; i < kItems; ++i) out[i] = add(s[i], mul(mix[i], d[i]));
  }
}

}  // namespace

template <typename scalar_t, int kWorkGroup, int kSubGroup>
void rwkv_time_shift_kernel(const scalar_t* hidden, const scalar_t* shifted, const scalar_t* mix,
                            scalar_t* result, int64_t M, int64_t B, int64_t T, int64_t C,
                            const c10::Device& device) {
  static const std::string name = std::string("rwkv_time_shift_kernel<") + element_name<scalar_t>() + ", " +
                                  std::to_string(kWorkGroup) + ", " + std::to_string(kSubGroup) + ">";
  const size_t steps = static_cast<size_t>(T), channels = static_cast<size_t>(C);
  const TimeShiftArgs<scalar_t> args{hidden, shifted, mix, result, static_cast<size_t>(M),
                                     static_cast<size_t>(B) * steps * channels, channels};
  const hostxpu::nd_range range(std::array<size_t, 3>{static_cast<size_t>(B), steps, channels},
                                std::array<size_t, 3>{1, 1, kWorkGroup});
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(hostxpu::kernel_desc{name, range, kSubGroup, 0}, [=](const hostxpu::work_group& g) {
          const size_t c0 = g.id[2] * kWorkGroup;
          time_shift_group<scalar_t, kWorkGroup>(args, (g.id[0] * steps + g.id[1]) * channels + c0, c0);
        });
      },
      device, name.c_str());
}

template void rwkv_time_shift_kernel<float, 64, 32>(const float*, const float*, const float*, float*, int64_t,
                                                    int64_t, int64_t, int64_t, const c10::Device&);
template void rwkv_time_shift_kernel<half, 64, 32>(const half*, const half*, const half*, half*, int64_t,
                                                   int64_t, int64_t, int64_t, const c10::Device&);

}  // namespace rwkv
