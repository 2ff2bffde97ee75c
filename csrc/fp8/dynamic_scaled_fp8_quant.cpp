#include "fp8/dynamic_scaled_fp8_quant.h"

#include <ATen/Dispatch.h>
#include <c10/core/DeviceGuard.h>

#include "fp8/scaled_fp8_quant_kernels.h"
#include "platform/stream.h"

namespace {

template <typename Kernel>
void submit(hostxpu::queue& queue, const char* name, int64_t num_tokens, size_t local_memory_bytes,
            const Kernel& kernel) {
  // One 1024-wide work-group per row; the grid-stride loops cover the whole tensor.
  const hostxpu::kernel_desc desc{
      name, hostxpu::nd_range(static_cast<size_t>(num_tokens) * fp8::kBlockSize, fp8::kBlockSize), 0,
      local_memory_bytes};
  queue.submit([&](hostxpu::handler& h) { h.parallel_for(desc, kernel); });
}

template <typename T, typename F>
void submit_reduction(hostxpu::queue& queue, float* scale, const T* input, int64_t num_elems, int64_t num_tokens) {
  using kernel = fp8::segmented_max_reduction<T, F>;
  submit(queue, "segmented_max_reduction", num_tokens, kernel::kLocalMemoryBytes, kernel{scale, input, num_elems});
}

template <typename T, typename F>
void submit_quant(hostxpu::queue& queue, at::Tensor& out, const T* input, const float* scale, int64_t num_elems,
                  int64_t num_tokens) {
  submit(queue, "scaled_fp8_quant_kernel", num_tokens, 0,
         fp8::scaled_fp8_quant_kernel<T, F>{out.data_ptr<F>(), input, scale, num_elems});
}

void check_arguments(const at::Tensor& out, const at::Tensor& input, const at::Tensor& scale) {
  TORCH_CHECK(input.is_xpu() && out.is_xpu() && scale.is_xpu(),
              "dynamic_scaled_fp8_quant: out, input and scale must be XPU tensors");
  TORCH_CHECK(out.device() == input.device() && scale.device() == input.device(),
              "dynamic_scaled_fp8_quant: out, input and scale must be on one device");
  TORCH_CHECK(input.dim() > 0 && input.size(-1) > 0,
              "dynamic_scaled_fp8_quant: input needs a last dimension of at least 1, got sizes ", input.sizes());
  TORCH_CHECK(input.is_contiguous(), "dynamic_scaled_fp8_quant: input must be contiguous");
  TORCH_CHECK(out.is_contiguous() && out.numel() == input.numel(),
              "dynamic_scaled_fp8_quant: out must be contiguous with ", input.numel(), " elements, got sizes ",
              out.sizes());
  TORCH_CHECK(scale.scalar_type() == at::kFloat && scale.numel() >= 1,
              "dynamic_scaled_fp8_quant: scale must be a float32 tensor of at least one element");
}

}  // namespace

void dynamic_scaled_fp8_quant(at::Tensor& out, const at::Tensor& input, at::Tensor& scale) {
  check_arguments(out, input, scale);
  const int64_t num_elems = input.numel();
  const int64_t num_tokens = num_elems / input.size(-1);
  c10::DeviceGuard guard(input.device());
  hostxpu::queue& queue = hostxpu::getCurrentXPUStream(input.device().index()).queue();
  float* scale_ptr = scale.data_ptr<float>();
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kBFloat16, at::kHalf, input.scalar_type(), "scaled_fp8_quant_kernel", [&] {
    using input_t = scalar_t;  // the inner dispatch rebinds scalar_t to the FP8 type
    const auto* in = input.const_data_ptr<input_t>();
    // Whatever out's type, the e5m2 maximum goes into the scale first; for an e5m2 out that
    // is already the final scale, so its second, identical reduction is skipped.
    submit_reduction<input_t, c10::Float8_e5m2>(queue, scale_ptr, in, num_elems, num_tokens);
    AT_DISPATCH_SWITCH(out.scalar_type(), "scaled_fp8_quant_kernel_fp8",
      AT_DISPATCH_CASE(at::kFloat8_e5m2, [&] {
        submit_quant<input_t, c10::Float8_e5m2>(queue, out, in, scale_ptr, num_elems, num_tokens);
      })
      AT_DISPATCH_CASE(at::kFloat8_e4m3fn, [&] {
        submit_reduction<input_t, c10::Float8_e4m3fn>(queue, scale_ptr, in, num_elems, num_tokens);
        submit_quant<input_t, c10::Float8_e4m3fn>(queue, out, in, scale_ptr, num_elems, num_tokens);
      }));
  });
}
