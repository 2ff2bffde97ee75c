#pragma once
// Host checks of the mixture-of-experts operands that the kernels reach only through device
// addresses: every expert id a slot uses must index each pointer table, and every address taken
// from a table must lie in a live allocation of the device for all the bytes the kernels read.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::vec {

struct ExpertTable {
  const at::Tensor* table;  // uint64 (or int64) device addresses, one per expert
  const char* name;
  int64_t bytes;            // bytes the kernels read from each address
  std::string what;         // what those bytes are, for messages
};

// The slot ids (int64; PyTorch's typed access rejects other dtypes) copied to the host.
std::vector<int64_t> slot_experts(const at::Tensor& topk_ids, const c10::Device& device);

// Throws a c10::Error naming the slot, the expert and the address of the first bad entry.
void check_expert_tables(const std::vector<int64_t>& experts, const std::vector<ExpertTable>& tables,
                         const c10::Device& device);

}  // namespace vorn::vec
