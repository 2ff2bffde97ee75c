#include "gemm/fp8_linear.h"

#include <ATen/ATen.h>

#include "dnnl_utils/Runtime.h"
#include "dnnl_utils/dnnlUtils.h"
#include "dnnl_utils/matmul_plan.h"
#include "platform/device.h"

namespace {

using dnnl_utils::bias_type_t;
using dnnl_utils::joint_dtypes_t;
using tag = dnnl::memory::format_tag;

bool is_fp8(const at::Tensor& t) {
  return t.scalar_type() == at::kFloat8_e5m2 || t.scalar_type() == at::kFloat8_e4m3fn;
}

void check_operand(const at::Tensor& t, const at::Tensor& weight, const char* name) {
  TORCH_CHECK(t.is_xpu(), "run_linear_fp8: ", name, " must be a XPU tensor");
  TORCH_CHECK(t.device() == weight.device(), "run_linear_fp8: ", name, " must be on the weight's device ",
              weight.device(), ", got ", t.device());
}

joint_dtypes_t joint_dtypes(const at::Tensor& input, const at::Tensor& weight) {
  const bool e5m2 = weight.scalar_type() == at::kFloat8_e5m2;
  if (input.scalar_type() == at::kHalf) return e5m2 ? joint_dtypes_t::f16_f8_e5m2 : joint_dtypes_t::f16_f8_e4m3;
  TORCH_INTERNAL_ASSERT(input.scalar_type() == at::kBFloat16, "Unsupported data type for fp8 matmul: ",
                        input.scalar_type());
  return e5m2 ? joint_dtypes_t::bf16_f8_e5m2 : joint_dtypes_t::bf16_f8_e4m3;
}

bias_type_t bias_type(const std::optional<at::Tensor>& bias, int64_t m, int64_t n) {
  if (!bias.has_value() || !bias->defined()) return bias_type_t::none;
  const at::Tensor& b = *bias;
  if (b.numel() == 1) return bias_type_t::scalar;
  if (b.numel() == m * n) return bias_type_t::mn;
  if (b.dim() > 0 && b.size(-1) == n && b.numel() == n) return bias_type_t::n;
  if (b.dim() > 0 && b.size(-1) == 1 && b.numel() == m) return bias_type_t::m;
  if (b.numel() == 0) return bias_type_t::none;
  TORCH_CHECK(false, "unsupported bias dim in matmul ...", b.sizes());
}

// The fp32 route's bias, shaped as its rules say. oneDNN takes a bias of the destination's
// rank, so the accepted 1-D and 3-D shapes become their 2-D equivalents ([n] -> [1, n],
// [1] -> [1, 1], [1, m, n] -> [m, n]); the values added stay the same.
at::Tensor fp32_route_bias(at::Tensor b, int64_t m, int64_t n) {
  const int64_t mb = 1;  // the output is [m, n]
  switch (b.dim()) {
    case 3:
      TORCH_CHECK(b.size(0) == 1 || b.size(0) == mb, "matmul bias must be expandable to:", at::IntArrayRef{mb, m, n},
                  " but got:", b.sizes());
      TORCH_CHECK((b.size(1) == 1 || b.size(1) == m) && (b.size(2) == 1 || b.size(2) == n),
                  "matmul bias must be expandable to:", at::IntArrayRef{mb, m, n}, " but got:", b.sizes());
      return b.expand({mb, m, n}).contiguous().view({m, n});
    case 2:
      TORCH_CHECK((b.size(0) == m && b.size(1) == n) || (b.size(0) == 1 && b.size(1) == n) ||
                      (b.size(0) == m && b.size(1) == 1) || (b.size(0) == 1 && b.size(1) == 1),
                  "matmul supports [m, n] or [1, n] or [m, 1] or [1, 1] when bias dim is 2 ...");
      if (b.size(0) == 1 && b.size(1) == 1) return b.expand({1, n}).contiguous();
      return b.contiguous();
    case 1:
      TORCH_CHECK(b.size(0) == n || b.size(0) == 1, "matmul supports [n] or [1] when bias dim is 1 ...");
      return b.contiguous().view({1, b.size(0)});
    case 0:
      TORCH_CHECK(b.numel() == 1, "matmul supports 1 numel when bias dim is [] ...");
      return b.expand({1, n}).contiguous();
    default:
      TORCH_CHECK(false, "unsupported bias dim in matmul ...");
  }
}

dnnl::memory::desc tensor_md(const at::Tensor& t) {
  return dnnl::memory::desc(dnnl_utils::get_onednn_dims(t), dnnl_utils::get_onednn_dtype(t),
                            dnnl_utils::get_onednn_strides(t));
}

}  // namespace

void fp8_weight_scale_hook::operator()(dnnl::primitive_attr& attr) const {
  attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
  attr.set_scales(DNNL_ARG_WEIGHTS, /*mask=*/0, {}, dnnl_utils::get_onednn_dtype(scale));
}

void dnnl_matmul_w8a16_fp8(hostxpu::queue& queue, int64_t m, int64_t n, int64_t k, const at::Tensor& input,
                           const at::Tensor& weight, bool trans, const at::Tensor& output, const at::Tensor& scale,
                           const std::optional<at::Tensor>& bias, int64_t key) {
  (void)queue;  // the oneDNN stream of the current stream orders the work
  const int device = hostxpu::current_device();
  dnnl::engine& engine = dnnl_utils::engine_of(device);
  const joint_dtypes_t dtypes = joint_dtypes(input, weight);
  const bias_type_t bias_kind = bias_type(bias, m, n);
  const int64_t ldb = trans ? k : n;
  dnnl_utils::primitive_ext& matmul = dnnl_utils::dnnlMatmulCreatePrimitive(
      dtypes, trans ? dnnl_utils::trans_type_t::nt : dnnl_utils::trans_type_t::nn, bias_kind, static_cast<int>(m),
      static_cast<int>(n), static_cast<int>(k), /*lda=*/k, ldb, /*ldc=*/n, device, fp8_weight_scale_hook{scale},
      static_cast<int>(key), 0);

  const size_t scratchpad_bytes = dnnl_memory_desc_get_size(matmul.query_md(dnnl::query::scratchpad_md));
  at::Tensor scratchpad = at::empty({static_cast<int64_t>(scratchpad_bytes)}, output.options().dtype(at::kByte));
  dnnl::memory scale_memory = dnnl_utils::dpcpp_onednn_memory(tensor_md(scale), engine, scale.data_ptr());
  dnnl::stream& stream = dnnl_utils::GpuStreamManager::Instance().get_stream();
  const std::pair<int, dnnl::memory> scales{DNNL_ARG_ATTR_SCALES | DNNL_ARG_WEIGHTS, scale_memory};
  if (bias_kind == bias_type_t::none) {
    matmul.execute(stream,
                   {{DNNL_ARG_SRC, input.data_ptr()}, {DNNL_ARG_WEIGHTS, weight.data_ptr()},
                    {DNNL_ARG_DST, output.data_ptr()}, {DNNL_ARG_SCRATCHPAD, scratchpad.data_ptr()}},
                   {scales});
  } else {
    matmul.execute(stream,
                   {{DNNL_ARG_SRC, input.data_ptr()}, {DNNL_ARG_WEIGHTS, weight.data_ptr()},
                    {DNNL_ARG_DST, output.data_ptr()}, {DNNL_ARG_BIAS, bias->data_ptr()},
                    {DNNL_ARG_SCRATCHPAD, scratchpad.data_ptr()}},
                   {scales});
  }
}

void onednn_fp8_matmul(hostxpu::queue& queue, int64_t m, int64_t n, int64_t k, const at::Tensor& input,
                       const at::Tensor& weight, at::Tensor& output, const std::optional<at::Tensor>& bias) {
  (void)queue;  // every platform queue runs on the host, whose CPU engine this call makes
  at::Tensor b;
  if (bias.has_value() && bias->defined()) b = fp32_route_bias(*bias, m, n);
  const at::Tensor unit_scales = at::ones({2}, output.options().dtype(at::kFloat));
  dnnl::engine engine(dnnl::engine::kind::cpu, 0);
  dnnl::stream stream(engine);

  const dnnl::memory::desc src({m, k}, dnnl_utils::get_onednn_dtype(input), tag::ab);
  const dnnl::memory::desc weights({k, n}, dnnl_utils::get_onednn_dtype(weight), tag::ba);
  const dnnl::memory::desc dst({m, n}, dnnl_utils::get_onednn_dtype(output), tag::ab);
  const dnnl::memory::desc scale_md({1}, dnnl::memory::data_type::f32, tag::a);
  dnnl::primitive_attr attr;
  attr.set_scales_mask(DNNL_ARG_SRC, 0);
  attr.set_scales_mask(DNNL_ARG_WEIGHTS, 0);
  const dnnl_utils::matmul_plan plan =
      dnnl_utils::plan_matmul(engine, src, weights, b.defined() ? tensor_md(b) : dnnl::memory::desc(), dst, attr);

  float* scales = unit_scales.data_ptr<float>();
  std::unordered_map<int, dnnl::memory> args{
      {DNNL_ARG_SRC, dnnl::memory(plan.stored(DNNL_ARG_SRC), engine, input.data_ptr())},
      {DNNL_ARG_WEIGHTS, dnnl::memory(plan.stored(DNNL_ARG_WEIGHTS), engine, weight.data_ptr())},
      {DNNL_ARG_DST, dnnl::memory(plan.stored(DNNL_ARG_DST), engine, output.data_ptr())},
      {DNNL_ARG_ATTR_SCALES | DNNL_ARG_SRC, dnnl::memory(scale_md, engine, scales)},
      {DNNL_ARG_ATTR_SCALES | DNNL_ARG_WEIGHTS, dnnl::memory(scale_md, engine, scales + 1)}};
  if (b.defined()) args[DNNL_ARG_BIAS] = dnnl::memory(plan.stored(DNNL_ARG_BIAS), engine, b.data_ptr());
  dnnl_utils::execute_plan(plan, engine, stream, std::move(args), output.device().index());
}

at::Tensor run_linear_fp8(at::Tensor input, at::Tensor weight, std::optional<at::Tensor> bias,
                          std::optional<at::Tensor> weight_scale_inv) {
  TORCH_CHECK(is_fp8(weight), "weight must be f8_e5m2 or f8_e4m3fn for run_linear_fp8.\n");
  TORCH_CHECK(weight.is_xpu(), "run_linear_fp8: weight must be a XPU tensor");
  TORCH_CHECK(weight.dim() == 2 && weight.is_contiguous(), "run_linear_fp8: weight must be a contiguous [n, k] tensor, got sizes ",
              weight.sizes());
  const int64_t m = input.dim() > 0 ? input.size(0) : 0, n = weight.size(0), k = weight.size(1);
  check_operand(input, weight, "input");
  TORCH_CHECK(input.dim() == 2 && input.size(1) == k && input.is_contiguous(),
              "run_linear_fp8: input must be a contiguous [m, ", k, "] tensor, got sizes ", input.sizes());
  TORCH_CHECK(input.scalar_type() == at::kHalf || input.scalar_type() == at::kBFloat16 ||
                  input.scalar_type() == at::kFloat,
              "run_linear_fp8: input must be fp16, bf16 or fp32, got ", input.scalar_type());
  if (bias.has_value() && bias->defined()) check_operand(*bias, weight, "bias");

  hostxpu::queue& queue = hostxpu::getCurrentXPUStream(weight.device().index()).queue();
  at::Tensor result = at::empty({m, n}, input.options().device(weight.device()));
  if (input.scalar_type() == at::kFloat) {
    onednn_fp8_matmul(queue, m, n, k, input, weight, result, bias);
    return result;
  }
  // bf16 activations take the cached route too: its primitives exist for them.
  std::optional<at::Tensor> b = bias;
  if (b.has_value() && b->defined()) {
    TORCH_CHECK(b->scalar_type() == input.scalar_type(), "run_linear_fp8: bias must have the input's dtype ",
                input.scalar_type(), ", got ", b->scalar_type());
    b = b->contiguous();
  }
  at::Tensor scale;
  if (weight_scale_inv.has_value() && weight_scale_inv->defined()) {
    check_operand(*weight_scale_inv, weight, "weight_scale_inv");
    TORCH_CHECK(weight_scale_inv->numel() >= 1, "run_linear_fp8: weight_scale_inv needs one element");
    // The scale's type is not part of a cached primitive's key, so every cached primitive
    // takes an fp32 scale; other oneDNN types convert exactly (and others fail as oneDNN's).
    dnnl_utils::get_onednn_dtype(*weight_scale_inv);
    scale = weight_scale_inv->reshape({-1}).slice(0, 0, 1).to(at::kFloat).contiguous();
  } else {
    scale = at::ones({1}, weight.options().dtype(at::kFloat));
  }
  dnnl_matmul_w8a16_fp8(queue, m, n, k, input, weight, true, result, scale, b, 0);
  return result;
}
