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
  // When the weights are expanded, 131/0 describes the weights as the caller stores them and
  // the scratchpad also holds the expanded copy.
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

  void bind(slot& s, int id, void* ptr);
  void expand_weights(dnnl::stream& stream, const dnnl::memory& stored, char* scratchpad);

  matmul_plan plan_;
  dnnl::engine engine_;
  dnnl::primitive matmul_;
  dnnl::primitive reorder_;
  // The caller's scratchpad: [expanded weights | matmul scratchpad | reorder scratchpad].
  dnnl::memory::desc scratchpad_md_;
  size_t matmul_scratchpad_offset_ = 0, reorder_scratchpad_offset_ = 0;
  dnnl::memory expanded_, matmul_scratchpad_, reorder_scratchpad_;
  std::array<slot, kSlots> slots_;
  std::vector<dnnl_exec_arg_t> records_;
};

}  // namespace dnnl_utils
