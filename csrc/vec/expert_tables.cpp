#include "vec/expert_tables.h"

#include <c10/util/Exception.h>

#include <cstdio>

#include "platform/memory.h"
#include "vec/operand_checks.h"

namespace vorn::vec {

std::vector<int64_t> slot_experts(const at::Tensor& topk_ids, const c10::Device& device) {
  check_operand(topk_ids, "topk_ids", device, 0);
  const at::Tensor host = topk_ids.cpu();
  const int64_t* ids = host.const_data_ptr<int64_t>();
  return std::vector<int64_t>(ids, ids + host.numel());
}

namespace {

std::string hex(uint64_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
  return text;
}

}  // namespace

void check_expert_tables(const std::vector<int64_t>& experts, const std::vector<ExpertTable>& tables,
                         const c10::Device& device) {
  for (const ExpertTable& t : tables) {
    const at::Tensor& table = *t.table;
    check_operand(table, t.name, device, 0);
    TORCH_CHECK(table.scalar_type() == at::kUInt64 || table.scalar_type() == at::kLong, t.name,
                " must hold 64-bit device addresses (uint64), got ", table.scalar_type());
    // Read through a host copy: the table is device memory.
    const at::Tensor host = table.cpu().view(at::kLong);
    const int64_t* entries = host.const_data_ptr<int64_t>();
    const int64_t count = host.numel();
    std::vector<bool> checked(static_cast<size_t>(count), false);
    for (size_t slot = 0; slot < experts.size(); ++slot) {
      const int64_t e = experts[slot];
      TORCH_CHECK(e >= 0 && e < count, "slot ", slot, " selects expert ", e, ", outside ", t.name, " (", count,
                  " experts)");
      if (checked[e]) continue;
      const auto address = static_cast<uint64_t>(entries[e]);
      TORCH_CHECK(hostxpu::is_live_range(device.index(), address, static_cast<size_t>(t.bytes)), t.name, "[", e,
                  "] (slot ", slot, ", expert ", e, ") holds address ", hex(address),
                  ", which is not a live allocation of ", device, " covering the ", t.bytes, " bytes of ", t.what);
      checked[e] = true;
    }
  }
}

}  // namespace vorn::vec
