// aten::mm and aten::addmm of xpu tensors through oneDNN's matmul, as PyTorch's XPU backend forms
// its dense products; `at::linear` (and so `run_linear`, the product of every dequantize-then-
// multiply road) reaches them. PyTorch's CPU kernels, which the platform's fallback runs
// otherwise, took up to five times as long on an AMD Zen 5 (4 x 4096 by 4096 x 14336: fp32 24
// against 7 ms; fp16 at 32 rows 65 against 11 ms).
//
// oneDNN takes a call when one of its roads (matmul_plan.h) has an optimised kernel: 2-D
// operands of one floating-point type on one device, each a row- or column-major matrix or a
// view of one; addmm only as linear's bias (beta = alpha = 1, a bias of [N] or [1, N]). On CPUs
// without f16 arithmetic an f16 product widens its first operand to f32 and multiplies the f16
// second one in f32, rounding the result once, as PyTorch's fp16 kernels accumulate. Every other
// call keeps PyTorch's CPU kernel through the fallback, among them products with an empty
// dimension and fp16 matrix-vector products. Only the order of the sums differs from PyTorch's
// kernels.

#include <ATen/ATen.h>
#include <c10/core/DeviceGuard.h>
#include <torch/library.h>

#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include <oneapi/dnnl/dnnl.hpp>

#include "dnnl_utils/Runtime.h"
#include "dnnl_utils/lru_cache.h"
#include "dnnl_utils/matmul_plan.h"
#include "platform/device.h"
#include "platform/pytorch/backend.h"
#include "platform/pytorch/zero_copy_fallback.h"

namespace {

using dnnl::memory;

constexpr size_t kCachedProducts = 64;  // per thread and device

// The oneDNN description of a matrix whose elements are one stride apart along one of its
// dimensions and do not overlap, else nothing.
std::optional<memory::desc> matrix_desc(const at::Tensor& t) {
  if (t.dim() != 2) return std::nullopt;
  const int64_t rows = t.size(0), cols = t.size(1), row_stride = t.stride(0), col_stride = t.stride(1);
  const bool row_major = (col_stride == 1 || cols == 1) && row_stride >= cols;
  const bool col_major = (row_stride == 1 || rows == 1) && col_stride >= rows;
  if (!row_major && !col_major) return std::nullopt;
  return memory::desc({rows, cols}, dnnl_utils::get_onednn_dtype(t), {row_stride, col_stride});
}

bool is_matmul_type(const at::Tensor& t) {
  const at::ScalarType type = t.scalar_type();
  return type == at::kFloat || type == at::kBFloat16 || type == at::kHalf;
}

// oneDNN's road for these descriptions (matmul_plan.h), or nothing where it has only its
// reference code or refuses them.
std::optional<dnnl_utils::matmul_plan> plan_product(const dnnl::engine& engine, const memory::desc& src,
                                                    const memory::desc& weights, const memory::desc& bias,
                                                    const memory::desc& dst) {
  try {
    dnnl_utils::matmul_plan plan = dnnl_utils::plan_matmul(engine, src, weights, bias, dst, {});
    if (!dnnl_utils::is_reference_impl(plan.matmul)) return plan;
  } catch (const dnnl::error&) {
  }
  return std::nullopt;
}

// The same, planned once per thread and device for each type, shape and layout.
const dnnl_utils::matmul_plan* plan_for(const dnnl::engine& engine, int device, const memory::desc& src,
                                        const memory::desc& weights, const memory::desc& bias,
                                        const memory::desc& dst) {
  using cache = dnnl_utils::lru_cache<std::vector<int64_t>, std::optional<dnnl_utils::matmul_plan>>;
  thread_local std::vector<cache> caches(hostxpu::kMaxDevices);
  std::vector<int64_t> key{static_cast<int64_t>(src.get_data_type()), bias.is_zero() ? 0 : 1};
  for (const memory::desc* md : {&src, &weights}) {
    for (const memory::dims& values : {md->get_dims(), md->get_strides()}) {
      key.insert(key.end(), values.begin(), values.end());
    }
  }
  cache& plans = caches[device];
  if (plans.capacity() == 0) plans.resize(kCachedProducts);
  const std::optional<dnnl_utils::matmul_plan>* found = plans.find(key);
  if (!found) found = &plans.insert(key, plan_product(engine, src, weights, bias, dst));
  return found->has_value() ? &**found : nullptr;
}

// mat1 · mat2 (+ bias) by oneDNN, or nothing when oneDNN does not take the call.
std::optional<at::Tensor> onednn_product(const at::Tensor& mat1, const at::Tensor& mat2, const at::Tensor* bias) {
  const std::vector<const at::Tensor*> operands = bias ? std::vector{&mat1, &mat2, bias} : std::vector{&mat1, &mat2};
  for (const at::Tensor* t : operands) {
    if (!t->is_xpu() || t->device() != mat1.device() || t->scalar_type() != mat1.scalar_type()) return std::nullopt;
  }
  if (!is_matmul_type(mat1) || mat1.dim() != 2 || mat2.dim() != 2 || mat1.numel() == 0 || mat2.numel() == 0) {
    return std::nullopt;
  }
  const int64_t m = mat1.size(0), n = mat2.size(1);
  if (mat1.size(1) != mat2.size(0)) return std::nullopt;  // PyTorch's kernel words the error
  // PyTorch's fp16 matrix-vector product is the faster one (1 x 4096 by 4096 x 14336 on an AMD
  // Zen 5: 2.7 against 4.9 ms).
  if (m == 1 && mat1.scalar_type() == at::kHalf) return std::nullopt;
  memory::desc bias_md;
  if (bias) {
    const at::Tensor row = bias->dim() == 1 ? bias->unsqueeze(0) : *bias;
    if (row.dim() != 2 || row.size(0) != 1 || row.size(1) != n || (row.stride(1) != 1 && n != 1)) return std::nullopt;
    bias_md = memory::desc({1, n}, dnnl_utils::get_onednn_dtype(row), memory::format_tag::ab);
  }
  const std::optional<memory::desc> src = matrix_desc(mat1), weights = matrix_desc(mat2);
  if (!src || !weights) return std::nullopt;

  const c10::DeviceGuard guard(mat1.device());
  const int device = mat1.get_device();
  dnnl::engine& engine = dnnl_utils::current_engine();
  const memory::desc dst({m, n}, src->get_data_type(), memory::format_tag::ab);
  const dnnl_utils::matmul_plan* plan = plan_for(engine, device, *src, *weights, bias_md, dst);
  if (!plan) return std::nullopt;
  at::Tensor result = at::empty({m, n}, mat1.options());
  std::unordered_map<int, memory> args{{DNNL_ARG_SRC, memory(*src, engine, mat1.data_ptr())},
                                       {DNNL_ARG_WEIGHTS, memory(*weights, engine, mat2.data_ptr())},
                                       {DNNL_ARG_DST, memory(dst, engine, result.data_ptr())}};
  if (bias) args.emplace(DNNL_ARG_BIAS, memory(bias_md, engine, bias->data_ptr()));
  dnnl_utils::execute_plan(*plan, engine, dnnl_utils::GpuStreamManager::Instance().get_stream(), std::move(args),
                           device);
  return result;
}

// The boxed kernel of both operators: oneDNN's product where it takes the call, the fallback
// otherwise.
void dense_product(const c10::OperatorHandle& op, torch::jit::Stack* stack) {
  const size_t count = op.schema().arguments().size();
  const auto args = torch::jit::last(*stack, count);
  std::optional<at::Tensor> result;
  if (op.schema().name() == "aten::mm") {
    result = onednn_product(args[0].toTensor(), args[1].toTensor(), nullptr);
  } else if (args[3].toScalar().equal(1) && args[4].toScalar().equal(1)) {  // addmm(self, mat1, mat2, beta, alpha)
    result = onednn_product(args[1].toTensor(), args[2].toTensor(), &args[0].toTensor());
  }
  if (!result) return hostxpu::zero_copy_fallback(op, stack);
  torch::jit::drop(*stack, count);
  torch::jit::push(*stack, std::move(*result));
}

struct Registration {
  std::unique_ptr<torch::Library> aten;
  Registration() {
    if (!hostxpu::host_backend_enabled()) return;
    aten = std::make_unique<torch::Library>(torch::Library::IMPL, "aten", c10::DispatchKey::XPU, __FILE__, __LINE__);
    aten->impl("mm", torch::CppFunction::makeFromBoxedFunction<&dense_product>());
    aten->impl("addmm", torch::CppFunction::makeFromBoxedFunction<&dense_product>());
  }
} registration;

}  // namespace
