#pragma once
// A cached matmul primitive together with reusable memory objects for its arguments: repeated
// executions only swap data pointers.

#include <array>
#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

#include <oneapi/dnnl/dnnl.hpp>

#include "dnnl_utils/matmul_plan.h"

namespace dnnl_utils {

class primitive_ext {
 public:
  explicit primitive_ext(matmul_plan plan, dnnl::engine& engine);

  // The memory descriptor a query names: source (129), weights (131; index 1 the bias),
  // destination (133), scratchpad (136), and 130, 132, 134, 135, 255 as oneDNN answers them.
  // Operands the plan converts (matmul_plan.h) are described as the caller stores them, and
  // the scratchpad also holds their converted copies.
  const_dnnl_memory_desc_t query_md(dnnl::query what, int index = 0) const;

  // Binds the i-th (argument id, device pointer) pair to slot i (source 1, weights 33,
  // destination 17, bias 41, scratchpad 80), then executes on `stream`. `call_memories` are
  // memory objects made by the caller for this call only (for example runtime scales).
  void execute(dnnl::stream& stream, std::initializer_list<std::pair<int, void*>> args,
               std::initializer_list<std::pair<int, dnnl::memory>> call_memories = {});

  const matmul_plan& plan() const { return plan_; }

 private:
  static constexpr size_t kSlots = 8;
  static constexpr size_t kAlignment = 64;

  struct slot {
    int id = 0;
    dnnl::memory memory;
  };

  // A converted operand's reorder and its copy in the scratchpad.
  struct conversion {
    int arg;
    dnnl::primitive reorder;
    size_t offset;  // of the converted copy in the scratchpad
    dnnl::memory converted;
    dnnl::memory scratchpad;  // the reorder's, when it needs one
  };

  void bind(slot& s, int id, void* ptr);
  void place_in(char* scratchpad);
  void run_reorder(dnnl::stream& stream, const conversion& c, const dnnl::memory& from, const dnnl::memory& to);

  matmul_plan plan_;
  dnnl::engine engine_;
  dnnl::primitive matmul_;
  std::vector<conversion> conversions_;
  // The caller's scratchpad: [converted operands | matmul scratchpad | reorder scratchpad], the
  // reorders running one after another in one region.
  dnnl::memory::desc scratchpad_md_;
  size_t matmul_scratchpad_offset_ = 0, reorder_scratchpad_offset_ = 0;
  dnnl::memory matmul_scratchpad_;
  std::array<slot, kSlots> slots_;
  std::vector<dnnl_exec_arg_t> records_;
};

}  // namespace dnnl_utils
