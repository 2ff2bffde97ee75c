#include "vec/moe_vorn2.h"

#include <ATen/ops/empty.h>
#include <c10/util/Half.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "formats/qtype.h"
#include "vec/expert_tables.h"
#include "vec/moe_kernels.h"
#include "vec/operand_checks.h"

namespace {

namespace qt = vorn::formats::qtype;
using vorn::vec::ExpertTable;

template <int Q>
using QtypeConstant = std::integral_constant<int, Q>;

[[noreturn]] void unsupported_qtype(int64_t qtype) {
  throw std::runtime_error(vorn::formats::unsupported_qtype_message(static_cast<int>(qtype)));
}

// Calls fn(element type tag) for fp32 or fp16 input, else throws the dtype error.
template <class Fn>
void with_element(const at::Tensor& input, Fn fn) {
  if (input.scalar_type() == at::kFloat) return fn(float{});
  if (input.scalar_type() == at::kHalf) return fn(c10::Half{});
  throw std::runtime_error("unsupported dtype, only fp32 and fp16 are supported");
}

template <class Fn>
void with_moe_qtype(int64_t qtype, Fn fn) {
  switch (qtype) {
    case qt::q4_0: return fn(QtypeConstant<qt::q4_0>{});
    case qt::fp8_e4m3: return fn(QtypeConstant<qt::fp8_e4m3>{});
    case qt::fp8_e5m2: return fn(QtypeConstant<qt::fp8_e5m2>{});
    case qt::q4_0_woq: return fn(QtypeConstant<qt::q4_0_woq>{});
    default: unsupported_qtype(qtype);
  }
}

template <class Fn>
void with_moe_fp8_qtype(int64_t qtype, Fn fn) {
  if (qtype == qt::moe_fp8_e4m3) return fn(QtypeConstant<qt::moe_fp8_e4m3>{});
  if (qtype == qt::moe_fp8_e5m2) return fn(QtypeConstant<qt::moe_fp8_e5m2>{});
  unsupported_qtype(qtype);
}

void check_size(int64_t size, const char* name) {
  TORCH_CHECK(size > 0 && size % 64 == 0 && size <= std::numeric_limits<int32_t>::max(), name,
              " must be a positive multiple of 64, got ", size);
}

// Bytes the kernels read from one expert matrix of rows x K weights: codes and block scales;
// fp8_e5m2 has no scale, so its kernels read the codes only.
int64_t matrix_bytes(int qtype, int64_t rows, int64_t K) {
  const int64_t block_bytes = qtype == qt::fp8_e5m2 ? 64 : static_cast<int64_t>(vorn::formats::GGML_TYPE_SIZE[qtype]);
  return rows * (K / 64) * block_bytes;
}

ExpertTable matrix_table(const at::Tensor& table, const char* name, int qtype, int64_t rows, int64_t K) {
  return {&table, name, matrix_bytes(qtype, rows, K),
          std::string("a ") + vorn::formats::qtype_name(qtype) + " [" + std::to_string(rows) + ", " +
              std::to_string(K) + "] matrix"};
}

ExpertTable scale_table(const at::Tensor& table, const char* name) { return {&table, name, 4, "an fp32 scale"}; }

// The slots' expert ids, after the operands every form shares: sizes, routing weights.
std::vector<int64_t> check_slots(const at::Tensor& input, const at::Tensor& topk_ids, const at::Tensor& eweights,
                                 int64_t H, int64_t I) {
  TORCH_CHECK(input.is_xpu(), "input must be a XPU tensor");
  check_size(H, "hidden_size");
  check_size(I, "intermediate_size");
  std::vector<int64_t> experts = vorn::vec::slot_experts(topk_ids, input.device());
  TORCH_CHECK(experts.size() <= static_cast<size_t>(std::numeric_limits<int32_t>::max()), "too many slots");
  vorn::vec::check_operand(eweights, "eweights", input.device(), static_cast<int64_t>(experts.size()));
  return experts;
}

// Batch forms: top_k slots per input row, and the two gate activations.
void check_batch(const at::Tensor& input, int64_t slots, int64_t H, int64_t top_k, int64_t act_type) {
  TORCH_CHECK(top_k >= 1 && top_k <= std::numeric_limits<int32_t>::max(), "top_k must be positive, got ", top_k);
  // Other values would leave the up buffer undefined: reject them.
  TORCH_CHECK(act_type == 0 || act_type == 1, "act_type must be 0 (SiLU) or 1 (GELU), got ", act_type);
  const int64_t rows = slots == 0 ? 0 : (slots - 1) / top_k + 1;
  vorn::vec::check_operand(input, "input", input.device(), rows * H);
}

const int64_t* ids_of(const at::Tensor& topk_ids) { return topk_ids.const_data_ptr<int64_t>(); }
const uint64_t* table_of(const at::Tensor& table) { return static_cast<const uint64_t*>(table.const_data_ptr()); }

template <class T>
constexpr int kLanesOf = vorn::vec::kLanes<T>;

}  // namespace

at::Tensor moe_forward_vorn2(const at::Tensor& input, const at::Tensor& topk_ids, const at::Tensor& eweights,
                             const at::Tensor& gate_weight_ptrs, const at::Tensor& up_weight_ptrs,
                             const at::Tensor& down_weight_ptrs, int64_t hidden_size, int64_t intermediate_size,
                             int64_t qtype) {
  TORCH_CHECK(input.dtype() == eweights.dtype());
  at::Tensor result;
  with_moe_qtype(qtype, [&](auto q) {
    constexpr int Q = decltype(q)::value;
    with_element(input, [&](auto element) {
      using T = decltype(element);
      constexpr int S = kLanesOf<T>;
      const int64_t H = hidden_size, I = intermediate_size;
      const std::vector<int64_t> experts = check_slots(input, topk_ids, eweights, H, I);
      vorn::vec::check_operand(input, "input", input.device(), H);
      vorn::vec::check_expert_tables(experts,
                                     {matrix_table(gate_weight_ptrs, "gate_weight_ptrs", Q, I, H),
                                      matrix_table(up_weight_ptrs, "up_weight_ptrs", Q, I, H),
                                      matrix_table(down_weight_ptrs, "down_weight_ptrs", Q, H, I)},
                                     input.device());
      const int slots = static_cast<int>(experts.size());
      at::Tensor up = at::empty({slots, I}, input.options());
      at::Tensor down = at::empty({slots, H}, input.options());
      vorn::vec::moe_forward_up_kernel<T, 2, 4, S, Q>(input.const_data_ptr(), ids_of(topk_ids),
                                                     table_of(gate_weight_ptrs), table_of(up_weight_ptrs),
                                                     up.mutable_data_ptr(), slots, H, I, input.device());
      vorn::vec::moe_forward_down_kernel<T, 4, 4, S, Q>(up.const_data_ptr(), ids_of(topk_ids),
                                                       eweights.const_data_ptr(), table_of(down_weight_ptrs),
                                                       down.mutable_data_ptr(), slots, I, H, input.device());
      result = down.sum(0, /*keepdim=*/true);
    });
  });
  return result;
}

at::Tensor moe_forward_batch_fused_gate_up_vorn2(const at::Tensor& input, const at::Tensor& topk_ids,
                                                 const at::Tensor& eweights, const at::Tensor& gate_up_weight_ptrs,
                                                 const at::Tensor& down_weight_ptrs, int64_t hidden_size,
                                                 int64_t intermediate_size, int64_t top_k, int64_t qtype,
                                                 int64_t act_type) {
  TORCH_CHECK(input.dtype() == eweights.dtype());
  at::Tensor result;
  with_moe_qtype(qtype, [&](auto q) {
    constexpr int Q = decltype(q)::value;
    with_element(input, [&](auto element) {
      using T = decltype(element);
      constexpr int S = kLanesOf<T>;
      const int64_t H = hidden_size, I = intermediate_size;
      const std::vector<int64_t> experts = check_slots(input, topk_ids, eweights, H, I);
      check_batch(input, static_cast<int64_t>(experts.size()), H, top_k, act_type);
      vorn::vec::check_expert_tables(experts,
                                     {matrix_table(gate_up_weight_ptrs, "gate_up_weight_ptrs", Q, 2 * I, H),
                                      matrix_table(down_weight_ptrs, "down_weight_ptrs", Q, H, I)},
                                     input.device());
      const int slots = static_cast<int>(experts.size());
      at::Tensor up = at::empty({slots, I}, input.options());
      result = at::empty({slots, H}, input.options());
      vorn::vec::moe_forward_up_batched_fused_gate_up_kernel<T, 2, 4, S, Q>(
          input.const_data_ptr(), ids_of(topk_ids), table_of(gate_up_weight_ptrs), up.mutable_data_ptr(), slots, H, I,
          static_cast<int>(top_k), static_cast<int>(act_type), input.device());
      vorn::vec::moe_forward_down_kernel<T, 4, 4, S, Q>(up.const_data_ptr(), ids_of(topk_ids),
                                                       eweights.const_data_ptr(), table_of(down_weight_ptrs),
                                                       result.mutable_data_ptr(), slots, I, H, input.device());
    });
  });
  return result;
}

at::Tensor moe_forward_batch_fused_gate_up_fp8_vorn2(
    const at::Tensor& input, const at::Tensor& topk_ids, const at::Tensor& eweights,
    const at::Tensor& gate_up_weight_ptrs, const at::Tensor& gate_up_scale_ptrs, const at::Tensor& down_weight_ptrs,
    const at::Tensor& down_scale_ptrs, int64_t hidden_size, int64_t intermediate_size, int64_t top_k, int64_t qtype,
    int64_t act_type) {
  TORCH_CHECK(input.dtype() == eweights.dtype());
  at::Tensor result;
  with_moe_fp8_qtype(qtype, [&](auto q) {
    constexpr int Q = decltype(q)::value;
    with_element(input, [&](auto element) {
      using T = decltype(element);
      constexpr int S = kLanesOf<T>;
      const int64_t H = hidden_size, I = intermediate_size;
      const std::vector<int64_t> experts = check_slots(input, topk_ids, eweights, H, I);
      check_batch(input, static_cast<int64_t>(experts.size()), H, top_k, act_type);
      vorn::vec::check_expert_tables(experts,
                                     {matrix_table(gate_up_weight_ptrs, "gate_up_weight_ptrs", Q, 2 * I, H),
                                      scale_table(gate_up_scale_ptrs, "gate_up_scale_ptrs"),
                                      matrix_table(down_weight_ptrs, "down_weight_ptrs", Q, H, I),
                                      scale_table(down_scale_ptrs, "down_scale_ptrs")},
                                     input.device());
      const int slots = static_cast<int>(experts.size());
      at::Tensor up = at::empty({slots, I}, input.options());
      result = at::empty({slots, H}, input.options());
      vorn::vec::moe_forward_up_batched_fused_gate_up_fp8_kernel<T, 2, 4, S, Q>(
          input.const_data_ptr(), ids_of(topk_ids), table_of(gate_up_weight_ptrs), table_of(gate_up_scale_ptrs),
          up.mutable_data_ptr(), slots, H, I, static_cast<int>(top_k), static_cast<int>(act_type), input.device());
      vorn::vec::moe_forward_down_fp8_kernel<T, 4, 4, S, Q>(
          up.const_data_ptr(), ids_of(topk_ids), eweights.const_data_ptr(), table_of(down_weight_ptrs),
          table_of(down_scale_ptrs), result.mutable_data_ptr(), slots, I, H, input.device());
    });
  });
  return result;
}
