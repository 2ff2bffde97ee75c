#include "dnnl_utils/matmul_plan.h"

#include <string>

#include "platform/memory.h"

namespace dnnl_utils {

namespace {

using dt = dnnl::memory::data_type;

bool is_fp8(dt type) { return type == dt::f8_e4m3 || type == dt::f8_e5m2; }

// Every f8_e4m3 and f8_e5m2 value, NaN and infinities included, is exact in f16 and in bf16.
dt expanded_type(dt src) { return src == dt::bf16 ? dt::bf16 : dt::f16; }

}  // namespace

bool is_reference_impl(const dnnl::primitive_desc_base& pd) {
  return std::string(pd.impl_info_str()).rfind("ref", 0) == 0;
}

matmul_plan plan_matmul(const dnnl::engine& engine, const dnnl::memory::desc& src,
                        const dnnl::memory::desc& weights, const dnnl::memory::desc& bias,
                        const dnnl::memory::desc& dst, const dnnl::primitive_attr& attr) {
  dnnl::matmul::primitive_desc direct(engine, src, weights, bias, dst, attr, /*allow_empty=*/true);
  if (!is_fp8(weights.get_data_type()) || (direct && !is_reference_impl(direct))) {
    // Without an expansion to fall back on, build again to raise oneDNN's own error.
    if (!direct) direct = dnnl::matmul::primitive_desc(engine, src, weights, bias, dst, attr);
    return {direct, weights, std::nullopt};
  }
  const dnnl::memory::desc expanded(weights.get_dims(), expanded_type(src.get_data_type()), weights.get_strides());
  dnnl::primitive_attr reorder_attr;
  reorder_attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
  return {dnnl::matmul::primitive_desc(engine, src, expanded, bias, dst, attr), weights,
          dnnl::reorder::primitive_desc(engine, weights, engine, expanded, reorder_attr)};
}

void execute_plan(const matmul_plan& plan, dnnl::engine& engine, dnnl::stream& stream,
                  std::unordered_map<int, dnnl::memory> args) {
  hostxpu::device_access scope;
  if (plan.expand) {
    dnnl::memory expanded(plan.matmul.weights_desc(), engine);
    std::unordered_map<int, dnnl::memory> reorder_args{{DNNL_ARG_FROM, args.at(DNNL_ARG_WEIGHTS)},
                                                       {DNNL_ARG_TO, expanded}};
    if (plan.expand->scratchpad_desc().get_size() > 0) {
      reorder_args[DNNL_ARG_SCRATCHPAD] = dnnl::memory(plan.expand->scratchpad_desc(), engine);
    }
    dnnl::reorder(*plan.expand).execute(stream, reorder_args);
    args[DNNL_ARG_WEIGHTS] = expanded;
  }
  dnnl::matmul(plan.matmul).execute(stream, args);
}

}  // namespace dnnl_utils
