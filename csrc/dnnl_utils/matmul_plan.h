#pragma once
// How a matmul runs on the installed oneDNN. When oneDNN cannot multiply the operands' element
// types itself (or only with its reference code), they are converted first (by oneDNN reorders,
// or on the host where those are slow: converts_on_host):
// - fp8 weights expand exactly into f16 (bf16 beside bf16 sources), which oneDNN multiplies
//   with an optimised kernel;
// - on CPUs without f16 arithmetic, where oneDNN builds no f16 matmul, f16 sources and biases
//   widen exactly to f32, the product is formed in f32 (as oneDNN's f16 matmul accumulates it)
//   and an f16 destination is rounded once from it.
// Scales and bias semantics stay as asked, so the result is the one of the requested product.
// ONEDNN_VERBOSE=1 shows the road: the matmul and the reorders left to oneDNN around it.

#include <optional>
#include <unordered_map>
#include <vector>

#include <oneapi/dnnl/dnnl.hpp>

namespace dnnl_utils {

// An operand the matmul takes in another type than the caller stores it in.
struct converted_operand {
  int arg;                         // DNNL_ARG_SRC, DNNL_ARG_WEIGHTS, DNNL_ARG_BIAS or DNNL_ARG_DST
  dnnl::memory::desc stored;       // as the caller holds it
  dnnl::reorder::primitive_desc reorder;  // stored -> matmul's; for the destination matmul's -> stored
};

struct matmul_plan {
  dnnl::matmul::primitive_desc matmul;
  std::vector<converted_operand> conversions;  // inputs first, the destination last

  // The operand `arg` as the caller holds it.
  dnnl::memory::desc stored(int arg) const;
  // The conversion of `arg`, or nullptr.
  const converted_operand* conversion_of(int arg) const;
};

// Throws dnnl::error when no road can be built.
matmul_plan plan_matmul(const dnnl::engine& engine, const dnnl::memory::desc& src,
                        const dnnl::memory::desc& weights, const dnnl::memory::desc& bias,
                        const dnnl::memory::desc& dst, const dnnl::primitive_attr& attr);

// True for oneDNN's reference implementations (correct, but far from the machine's speed).
bool is_reference_impl(const dnnl::primitive_desc_base& pd);

// oneDNN's reorders between these types run its reference code on some CPUs (on an AMD Zen 5, an
// fp8 4096 x 4096 weight to f16 in about 0.2 s, f16 <-> f32 at about 13 ns a value), where the
// matmul takes milliseconds.
// Dense operands of one layout convert on the host instead: fp8 through a table of its 256
// values, which that same reorder builds once (so the bits are oneDNN's own); f16 <-> f32 by
// the CPU's conversion instructions (to nearest, ties to even; a NaN rounded to f16 becomes the
// NaN c10::Half stores).
// Whether `from` converts into `to` so.
bool converts_on_host(const dnnl::memory::desc& from, const dnnl::memory::desc& to);
// That conversion, for memory the host can read and write.
void convert_on_host(const dnnl::engine& engine, dnnl::stream& stream, const dnnl::memory& from,
                     const dnnl::memory& to);

// Runs a plan once, with the converted operands in blocks of device `device` for the call (for
// callers that keep nothing between calls). `args` holds the operands as the caller stores them.
void execute_plan(const matmul_plan& plan, dnnl::engine& engine, dnnl::stream& stream,
                  std::unordered_map<int, dnnl::memory> args, int device);

}  // namespace dnnl_utils
