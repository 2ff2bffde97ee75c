#include "dnnl_utils/dnnlUtils.h"

#include <c10/util/Exception.h>

#include "dnnl_utils/Runtime.h"

namespace dnnl_utils {

namespace {

using dt = dnnl::memory::data_type;

struct element_types {
  dt activation, weights;
};

element_types types_of(joint_dtypes_t dtypes) {
  switch (dtypes) {
    case joint_dtypes_t::f16_f8_e5m2: return {dt::f16, dt::f8_e5m2};
    case joint_dtypes_t::bf16_f8_e5m2: return {dt::bf16, dt::f8_e5m2};
    case joint_dtypes_t::f16_f8_e4m3: return {dt::f16, dt::f8_e4m3};
    case joint_dtypes_t::bf16_f8_e4m3: return {dt::bf16, dt::f8_e4m3};
  }
  TORCH_CHECK(false, "no element types for joint_dtypes_t ", static_cast<int>(dtypes));
}

dnnl::memory::desc bias_md(bias_type_t bias, int64_t m, int64_t n, dt type) {
  using tag = dnnl::memory::format_tag;
  switch (bias) {
    case bias_type_t::none: return {};
    case bias_type_t::scalar: return {{1, 1}, type, tag::ab};
    case bias_type_t::m: return {{m, 1}, type, tag::ab};
    case bias_type_t::n: return {{1, n}, type, tag::ab};
    case bias_type_t::mn: return {{m, n}, type, tag::ab};
  }
  TORCH_CHECK(false, "unknown bias_type_t ", static_cast<int>(bias));
}

}  // namespace

std::vector<int64_t> concat(const matmul_strides& strides, int64_t m, int64_t n, int64_t k, bias_type_t bias,
                            int64_t key_value) {
  return {strides.src[0], strides.src[1], strides.weights[0], strides.weights[1], m, n, k,
          static_cast<int64_t>(bias), key_value, 1};
}

dnnl::engine& engine_of(int device_id) {
  TORCH_INTERNAL_ASSERT(device_id < hostxpu::device_count());
  return GpuEngineManager::Instance().get_engine(c10::Device(c10::DeviceType::XPU, static_cast<c10::DeviceIndex>(device_id)));
}

primitive_ext make_matmul_primitive(joint_dtypes_t dtypes, bias_type_t bias, int64_t m, int64_t n, int64_t k,
                                    const matmul_strides& strides, dnnl::engine& engine,
                                    const dnnl::primitive_attr& attr) {
  const element_types types = types_of(dtypes);
  const dnnl::memory::desc src({m, k}, types.activation, strides.src);
  const dnnl::memory::desc weights({k, n}, types.weights, strides.weights);
  const dnnl::memory::desc dst({m, n}, types.activation, strides.dst);
  return primitive_ext(plan_matmul(engine, src, weights, bias_md(bias, m, n, types.activation), dst, attr), engine);
}

}  // namespace dnnl_utils
