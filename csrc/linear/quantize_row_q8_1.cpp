#include "linear/quantize_row_q8_1.h"

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>

#include "linear/q8_1_quantize_kernel.h"

at::Tensor quantize_row_q8_1(const at::Tensor& input, int64_t rows, int64_t K) {
  using vorn::kernels::kQ8_1Block;
  const c10::Device device = input.device();
  TORCH_CHECK(input.is_xpu(), "input must be a XPU tensor");
  TORCH_CHECK(rows >= 0 && K >= 0, "quantize_row_q8_1: rows and K must be non-negative, got ", rows, " and ", K);
  TORCH_CHECK(K % kQ8_1Block == 0, "quantize_row_q8_1: K = ", K, " must be a multiple of ", kQ8_1Block,
              ", the block_q8_1 size");
  TORCH_CHECK(K == 0 || rows <= input.numel() / K, "quantize_row_q8_1: input holds ", input.numel(), " activations, ",
              rows, " rows of ", K, " need ", rows * K);
  const at::Tensor x = input.contiguous();
  at::Tensor out = at::empty({rows * K / kQ8_1Block * static_cast<int64_t>(sizeof(vorn::kernels::block_q8_1))},
                             input.options().dtype(at::kByte));
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, x.scalar_type(), "qlinear_forward_xpu", [&] {
    vorn::kernels::quantize_xpu_kernel_q8_1<scalar_t>(x.const_data_ptr<scalar_t>(), out.mutable_data_ptr<uint8_t>(),
                                                      static_cast<uint64_t>(rows), static_cast<uint64_t>(K), device);
  });
  return out;
}
