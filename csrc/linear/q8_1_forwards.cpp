#include "linear/q8_1_forwards.h"

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>

#include "formats/qtype.h"
#include "linear/dequantize_kernels.h"
#include "linear/q5_k_kernel.h"
#include "linear/q8_1_matvec_kernels.h"
#include "linear/quantize_row_q8_1.h"
#include "linear/weight_checks.h"

namespace {

namespace kn = vorn::kernels;
namespace qt = vorn::formats::qtype;

// Each format's name, code and kernels.
struct Q2K {
  static constexpr const char* name = "xpu_forward_q2_k";
  static constexpr int qtype = qt::q2_k;
  template <class T>
  static void matvec(const uint8_t* w, const uint8_t* q8, T* out, uint64_t K, uint64_t N, const c10::Device& d) {
    kn::qlinear_xpu_kernel_q2_k_q8_1<T>(w, q8, out, K, N, d);
  }
  template <class T>
  static void dequantize(const uint8_t* w, T* out, int64_t K, int64_t N, const c10::Device& d) {
    kn::qlinear_xpu_dequantize_kernel_q2_k<T>(w, out, K, N, d);
  }
};

struct Iq2Xxs {
  static constexpr const char* name = "xpu_forward_iq2_xxs";
  static constexpr int qtype = qt::iq2_xxs;
  template <class T>
  static void matvec(const uint8_t* w, const uint8_t* q8, T* out, uint64_t K, uint64_t N, const c10::Device& d) {
    kn::qlinear_xpu_kernel_iq2_xxs_q8_1<T>(w, q8, out, K, N, d);
  }
  template <class T>
  static void dequantize(const uint8_t* w, T* out, int64_t K, int64_t N, const c10::Device& d) {
    kn::qlinear_xpu_dequantize_kernel_iq2_xxs<T>(w, out, K, N, d);
  }
};

struct Iq1S {
  static constexpr const char* name = "xpu_forward_iq1_s";
  static constexpr int qtype = qt::iq1_s;
  template <class T>
  static void matvec(const uint8_t* w, const uint8_t* q8, T* out, uint64_t K, uint64_t N, const c10::Device& d) {
    kn::qlinear_xpu_kernel_iq1_s_q8_1<T>(w, q8, out, K, N, d);
  }
  template <class T>
  static void dequantize(const uint8_t* w, T* out, int64_t K, int64_t N, const c10::Device& d) {
    kn::qlinear_xpu_dequantize_kernel_iq1_s<T>(w, out, K, N, d);
  }
};

struct Q5K {
  static constexpr const char* name = "xpu_forward_q5_k";
  static constexpr int qtype = qt::q5_k;
  template <class T>
  static void dequantize(const uint8_t* w, T* out, int64_t K, int64_t N, const c10::Device& d) {
    kn::qlinear_xpu_dequantize_kernel_q5_k<T>(w, out, K, N, d);
  }
};

// What the kernels take on trust: an xpu input of [batch, K], whole super-blocks per row (the
// kernels address row n's super-blocks at n * K/256, and the q8_1 buffer must be whole blocks),
// and a weight on the same device that holds N rows.
template <class Format>
void check_forward(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N) {
  const c10::Device device = input.device();
  TORCH_CHECK(input.is_xpu(), "input must be a XPU tensor");
  vorn::check_packed_weight(weight);
  TORCH_CHECK(weight.device() == device, "weight (", weight.device(), ") and input (", device,
              ") must be on the same device");
  TORCH_CHECK(input.dim() == 2 && input.size(0) == batch && input.size(1) == K, Format::name,
              ": input must be [batch, K] = [", batch, ", ", K, "], got ", input.sizes());
  TORCH_CHECK(K > 0 && K % 256 == 0, Format::name, ": in_features (K) ", K,
              " must be a positive multiple of 256, the super-block size");
  const int64_t row_bytes = K / 256 * static_cast<int64_t>(vorn::formats::GGML_TYPE_SIZE[Format::qtype]);
  TORCH_CHECK(N >= 0 && N <= weight.numel() / row_bytes, Format::name, ": weight holds ", weight.numel(), " bytes, ", N,
              " rows of ", K, " ", vorn::formats::qtype_name(Format::qtype), " weights need ", N * row_bytes);
}

// Batch other than 1: the whole weight as a dense [N, K] matrix of the input's type.
template <class Format>
at::Tensor dense_forward(const at::Tensor& input, const at::Tensor& weight, int64_t K, int64_t N) {
  at::Tensor dense = at::empty({N, K}, input.options());
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, input.scalar_type(), "qlinear_forward_xpu", [&] {
    Format::template dequantize<scalar_t>(weight.const_data_ptr<uint8_t>(), dense.mutable_data_ptr<scalar_t>(), K, N,
                                          input.device());
  });
  return at::linear(input, dense);
}

template <class Format>
at::Tensor q8_1_forward(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N) {
  check_forward<Format>(input, weight, batch, K, N);
  if (batch != 1) return dense_forward<Format>(input, weight, K, N);
  const at::Tensor q8 = quantize_row_q8_1(input, 1, K);
  at::Tensor out = at::empty({1, N}, input.options());
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, input.scalar_type(), "qlinear_forward_xpu", [&] {
    Format::template matvec<scalar_t>(weight.const_data_ptr<uint8_t>(), q8.const_data_ptr<uint8_t>(),
                                      out.mutable_data_ptr<scalar_t>(), K, N, input.device());
  });
  return out;
}

}  // namespace

at::Tensor xpu_forward_q2_k(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N) {
  return q8_1_forward<Q2K>(input, weight, batch, K, N);
}

at::Tensor xpu_forward_iq2_xxs(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N) {
  return q8_1_forward<Iq2Xxs>(input, weight, batch, K, N);
}

at::Tensor xpu_forward_iq1_s(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N) {
  return q8_1_forward<Iq1S>(input, weight, batch, K, N);
}

at::Tensor xpu_forward_q5_k(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N) {
  check_forward<Q5K>(input, weight, batch, K, N);
  if (batch != 1) return dense_forward<Q5K>(input, weight, K, N);
  const at::Tensor x = input.contiguous();
  at::Tensor out = at::empty({1, N}, input.options());
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, x.scalar_type(), "qlinear_forward_xpu", [&] {
    kn::qlinear_xpu_kernel_q5_k<scalar_t>(x.const_data_ptr<scalar_t>(), weight.const_data_ptr<uint8_t>(),
                                          out.mutable_data_ptr<scalar_t>(), K, N, input.device());
  });
  return out;
}
