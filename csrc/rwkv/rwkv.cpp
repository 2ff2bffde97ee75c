#include "rwkv/rwkv.h"

#include <ATen/ops/empty.h>
#include <c10/util/Exception.h>

#include <stdexcept>
#include <utility>

#include "rwkv/attention_v4_kernel.h"
#include "rwkv/attention_v5_kernel.h"
#include "rwkv/element.h"
#include "rwkv/time_shift_kernel.h"

// Sizes the kernels assume, and how other sizes are treated:
// - version 4 runs work-groups of 32 channels and time shift work-groups of 64, over the whole
//   channel range: C must be a multiple of 32 (version 4) or 64 (time shift), as every RWKV model
//   width is; other widths are refused rather than padded.
// - version 5 keeps one 64-element state column per work-item: the head size N must be 64.
// - the kernels address their tensors as dense arrays: the layouts below are checked, not
//   repaired (a copy would break the in-place state update), and every tensor must be on the
//   device of key (hidden) with the element type the kernel reads.

namespace {

constexpr int kV4WorkGroup = 32, kV4SubGroup = 16;
constexpr int kHeadSize = 64, kV5WorkGroup = 32, kV5SubGroup = 16;
constexpr int kShiftWorkGroup = 64, kShiftSubGroup = 32;

// The kernels' element type for a tensor element type: fp16 is binary16 in both.
template <typename scalar_t>
struct kernel_element {
  using type = scalar_t;
};
template <>
struct kernel_element<at::Half> {
  using type = rwkv::half;
};
static_assert(sizeof(at::Half) == sizeof(rwkv::half));

template <typename scalar_t>
auto* data(const at::Tensor& t) {
  return reinterpret_cast<typename kernel_element<scalar_t>::type*>(t.data_ptr<scalar_t>());
}

template <typename scalar_t>
void attention_v4(const at::Tensor& time_decay, const at::Tensor& time_first, const at::Tensor& key,
                  const at::Tensor& value, const at::Tensor& result, const at::Tensor& num_state,
                  const at::Tensor& den_state, const at::Tensor& max_state, int64_t B, int64_t T, int64_t C,
                  const c10::Device& device) {
  rwkv::rwkv_linear_attention_kernel_v4<typename kernel_element<scalar_t>::type, kV4WorkGroup, kV4SubGroup>(
      data<scalar_t>(time_decay), data<scalar_t>(time_first), data<scalar_t>(key), data<scalar_t>(value),
      data<scalar_t>(result), num_state.data_ptr<float>(), den_state.data_ptr<float>(),
      max_state.data_ptr<float>(), B, T, C, device);
}

template <typename scalar_t>
void time_shift(const at::Tensor& hidden, const at::Tensor& shifted, const at::Tensor& mix,
                const at::Tensor& result, int64_t M, int64_t B, int64_t T, int64_t C, const c10::Device& device) {
  rwkv::rwkv_time_shift_kernel<typename kernel_element<scalar_t>::type, kShiftWorkGroup, kShiftSubGroup>(
      data<scalar_t>(hidden), data<scalar_t>(shifted), data<scalar_t>(mix), data<scalar_t>(result), M, B, T, C,
      device);
}

[[noreturn]] void unsupported_dtype() {
  throw std::runtime_error("unsupported dtype, only fp32 and fp16 are supported");
}

// Argument checks of one operator call; every message names the operator and the argument.
class Checker {
 public:
  Checker(const char* op, const at::Tensor& anchor, const char* anchor_name)
      : op_(op), anchor_name_(anchor_name), device_(anchor.device()) {
    TORCH_CHECK(device_.is_xpu(), op_, ": ", anchor_name_, " must be a XPU tensor, got one on ", device_);
  }

  const Checker& on_device_as(const at::Tensor& t, const char* name, c10::ScalarType dtype) const {
    TORCH_CHECK(t.device() == device_, op_, ": ", name, " must be on ", anchor_name_, "'s device ", device_,
                ", got ", t.device());
    TORCH_CHECK(t.scalar_type() == dtype, op_, ": ", name, " must be ", dtype, ", got ", t.scalar_type());
    return *this;
  }

  const Checker& dense(const at::Tensor& t, const char* name, c10::IntArrayRef sizes, const char* shape) const {
    TORCH_CHECK(t.sizes() == sizes, op_, ": ", name, " must be ", shape, " = ", sizes, ", got ", t.sizes());
    TORCH_CHECK(t.is_contiguous(), op_, ": ", name, " must be contiguous");
    return *this;
  }

  // A vector or table read as `count` consecutive values, whatever its shape.
  const Checker& values(const at::Tensor& t, const char* name, int64_t count, const char* shape) const {
    TORCH_CHECK(t.numel() == count && t.is_contiguous(), op_, ": ", name, " must hold ", shape, " = ", count,
                " contiguous values, got shape ", t.sizes(), t.is_contiguous() ? "" : " (not contiguous)");
    return *this;
  }

  const Checker& multiple(int64_t size, int64_t of, const char* what) const {
    TORCH_CHECK(size % of == 0, op_, ": ", what, " must be a multiple of ", of, ", got ", size);
    return *this;
  }

 private:
  const char* op_;
  const char* anchor_name_;
  c10::Device device_;
};

}  // namespace

attention_v4_fn dispatch_helper_v4(c10::ScalarType type) {
  switch (type) {
    case at::kFloat: return attention_v4<float>;
    case at::kHalf: return attention_v4<at::Half>;
    default: unsupported_dtype();
  }
}

time_shift_fn time_shift_dispatch_helper(c10::ScalarType type) {
  switch (type) {
    case at::kFloat: return time_shift<float>;
    case at::kHalf: return time_shift<at::Half>;
    default: unsupported_dtype();
  }
}

at::Tensor rwkv_linear_attention_v4(at::Tensor time_decay, at::Tensor time_first, at::Tensor key,
                                    at::Tensor value, at::Tensor num_state, at::Tensor den_state,
                                    at::Tensor max_state) {
  const int64_t B = key.size(0), T = key.size(1), C = key.size(2);
  const attention_v4_fn kernel = dispatch_helper_v4(key.scalar_type());
  const auto dtype = key.scalar_type();
  Checker("rwkv_linear_attention_v4", key, "key")
      .dense(key, "key", {B, T, C}, "[B, T, C]")
      .multiple(C, kV4WorkGroup, "key's channel count C")
      .on_device_as(value, "value", dtype)
      .dense(value, "value", {B, T, C}, "[B, T, C]")
      .on_device_as(time_decay, "time_decay", dtype)
      .values(time_decay, "time_decay", C, "C")
      .on_device_as(time_first, "time_first", dtype)
      .values(time_first, "time_first", C, "C")
      .on_device_as(num_state, "num_state", at::kFloat)
      .dense(num_state, "num_state", {B, C}, "[B, C]")
      .on_device_as(den_state, "den_state", at::kFloat)
      .dense(den_state, "den_state", {B, C}, "[B, C]")
      .on_device_as(max_state, "max_state", at::kFloat)
      .dense(max_state, "max_state", {B, C}, "[B, C]");
  at::Tensor result = at::empty({B, T, C}, key.options());
  kernel(time_decay, time_first, key, value, result, num_state, den_state, max_state, B, T, C, key.device());
  return result;
}

at::Tensor rwkv_linear_attention_v5(at::Tensor time_decay, at::Tensor time_first, at::Tensor receptance,
                                    at::Tensor key, at::Tensor value, at::Tensor state) {
  const int64_t B = key.size(0), H = key.size(1), T = key.size(2), N = key.size(3);
  Checker check("rwkv_linear_attention_v5", key, "key");
  check.on_device_as(key, "key", at::kFloat);
  TORCH_CHECK(key.dim() == 4 && N == kHeadSize, "rwkv_linear_attention_v5: key must be [B, H, T, ", kHeadSize,
              "], got ", key.sizes());
  TORCH_CHECK(key.stride(3) == 1, "rwkv_linear_attention_v5: key's innermost dimension must be contiguous");
  // receptance and value are read at key's offsets, so they must share its sizes and strides.
  for (const auto& [t, name] : {std::pair{&receptance, "receptance"}, std::pair{&value, "value"}}) {
    check.on_device_as(*t, name, at::kFloat);
    TORCH_CHECK(t->sizes() == key.sizes() && t->strides() == key.strides(), "rwkv_linear_attention_v5: ", name,
                " must have key's sizes ", key.sizes(), " and strides ", key.strides(), ", got ", t->sizes(),
                " and ", t->strides());
  }
  check.on_device_as(time_decay, "time_decay", at::kFloat)
      .values(time_decay, "time_decay", H * kHeadSize, "[H, 64]")
      .on_device_as(time_first, "time_first", at::kFloat)
      .values(time_first, "time_first", H * kHeadSize, "[H, 64]")
      .on_device_as(state, "state", at::kFloat)
      .dense(state, "state", {B, H, kHeadSize, kHeadSize}, "[B, H, 64, 64]");
  at::Tensor result = at::empty({B, T, H, kHeadSize}, key.options());
  rwkv::rwkv_linear_attention_kernel_v5<kHeadSize, kV5WorkGroup, kV5SubGroup>(
      time_decay.data_ptr<float>(), time_first.data_ptr<float>(), receptance.data_ptr<float>(),
      key.data_ptr<float>(), value.data_ptr<float>(), state.data_ptr<float>(), result.data_ptr<float>(), B, H, T,
      {key.stride(0), key.stride(1), key.stride(2)}, key.device());
  return result;
}

at::Tensor rwkv_time_shift(at::Tensor hidden, at::Tensor shifted, at::Tensor mix) {
  const int64_t B = hidden.size(0), T = hidden.size(1), C = hidden.size(2), M = mix.size(0);
  const time_shift_fn kernel = time_shift_dispatch_helper(hidden.scalar_type());
  const auto dtype = hidden.scalar_type();
  Checker("rwkv_time_shift", hidden, "hidden")
      .dense(hidden, "hidden", {B, T, C}, "[B, T, C]")
      .multiple(C, kShiftWorkGroup, "hidden's channel count C")
      .on_device_as(shifted, "shifted", dtype)
      .dense(shifted, "shifted", {B, T, C}, "[B, T, C]")
      .on_device_as(mix, "mix", dtype)
      .values(mix, "mix", M * C, "[M, C]");
  at::Tensor result = at::empty({M, B, T, C}, hidden.options());
  kernel(hidden, shifted, mix, result, M, B, T, C, hidden.device());
  return result;
}
