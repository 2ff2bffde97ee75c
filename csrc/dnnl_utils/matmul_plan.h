#pragma once
// How a matmul runs on the installed oneDNN. When oneDNN cannot multiply the weights' element
// type itself (or only with its reference code), the weights are first expanded exactly by a
// oneDNN reorder into a type it multiplies with an optimised kernel; scales, bias and
// destination stay as asked, so the result is the one of the requested product.
// ONEDNN_VERBOSE=1 shows the road: a reorder into f16/bf16 followed by the matmul.

#include <optional>
#include <unordered_map>

#include <oneapi/dnnl/dnnl.hpp>

namespace dnnl_utils {

struct matmul_plan {
  dnnl::matmul::primitive_desc matmul;
  dnnl::memory::desc stored_weights;  // the weights as the caller holds them
  // stored_weights -> matmul.weights_desc(), when the weights are expanded.
  std::optional<dnnl::reorder::primitive_desc> expand;
};

// Throws dnnl::error when neither road can be built.
matmul_plan plan_matmul(const dnnl::engine& engine, const dnnl::memory::desc& src,
                        const dnnl::memory::desc& weights, const dnnl::memory::desc& bias,
                        const dnnl::memory::desc& dst, const dnnl::primitive_attr& attr);

// True for oneDNN's reference implementations (correct, but far from the machine's speed).
bool is_reference_impl(const dnnl::primitive_desc_base& pd);

// Runs a plan once, with oneDNN allocating the expanded weights (for callers that keep
// nothing between calls). `args` holds the stored weights under DNNL_ARG_WEIGHTS.
void execute_plan(const matmul_plan& plan, dnnl::engine& engine, dnnl::stream& stream,
                  std::unordered_map<int, dnnl::memory> args);

}  // namespace dnnl_utils
