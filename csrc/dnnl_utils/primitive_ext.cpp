#include "dnnl_utils/primitive_ext.h"

#include <c10/util/Exception.h>

#include "dnnl_utils/Runtime.h"
#include "platform/memory.h"

namespace dnnl_utils {

namespace {

size_t align_up(size_t bytes, size_t alignment) { return (bytes + alignment - 1) / alignment * alignment; }

dnnl::memory::desc bytes_md(size_t bytes) {
  return dnnl::memory::desc({static_cast<dnnl::memory::dim>(bytes)}, dnnl::memory::data_type::u8,
                            dnnl::memory::format_tag::a);
}

void check(dnnl_status_t status, const char* message) {
  if (status != dnnl_success) throw dnnl::error(status, message);
}

// An owned copy of a descriptor that a query returned.
dnnl::memory::desc clone(const_dnnl_memory_desc_t md) {
  dnnl_memory_desc_t copy;
  check(dnnl_memory_desc_clone(&copy, md), "could not clone a memory descriptor");
  return dnnl::memory::desc(copy);
}

}  // namespace

primitive_ext::primitive_ext(matmul_plan plan, dnnl::engine& engine)
    : plan_(std::move(plan)), engine_(engine), matmul_(dnnl::matmul(plan_.matmul)) {
  records_.reserve(kSlots * 2);
  const dnnl::memory::desc matmul_scratchpad = plan_.matmul.scratchpad_desc();
  if (!plan_.expand) {
    scratchpad_md_ = matmul_scratchpad;
    return;
  }
  reorder_ = dnnl::reorder(*plan_.expand);
  const dnnl::memory::desc reorder_scratchpad = plan_.expand->scratchpad_desc();
  matmul_scratchpad_offset_ = align_up(plan_.matmul.weights_desc().get_size(), kAlignment);
  reorder_scratchpad_offset_ = matmul_scratchpad_offset_ + align_up(matmul_scratchpad.get_size(), kAlignment);
  scratchpad_md_ = bytes_md(reorder_scratchpad_offset_ + reorder_scratchpad.get_size());
  expanded_ = dnnl::memory(plan_.matmul.weights_desc(), engine_, DNNL_MEMORY_NONE);
  if (matmul_scratchpad.get_size() > 0) {
    matmul_scratchpad_ = dnnl::memory(matmul_scratchpad, engine_, DNNL_MEMORY_NONE);
  }
  if (reorder_scratchpad.get_size() > 0) {
    reorder_scratchpad_ = dnnl::memory(reorder_scratchpad, engine_, DNNL_MEMORY_NONE);
  }
}

const_dnnl_memory_desc_t primitive_ext::query_md(dnnl::query what, int index) const {
  switch (what) {
    case dnnl::query::weights_md:
      if (index == 0) return plan_.stored_weights.get();
      break;
    case dnnl::query::scratchpad_md:
      return scratchpad_md_.get();
    case dnnl::query::src_md:
    case dnnl::query::diff_src_md:
    case dnnl::query::diff_weights_md:
    case dnnl::query::dst_md:
    case dnnl::query::diff_dst_md:
    case dnnl::query::workspace_md:
    case dnnl::query::exec_arg_md:
      break;
    default:
      throw dnnl::error(dnnl_invalid_arguments, "memory descriptor query is invalid");
  }
  return dnnl_primitive_desc_query_md(plan_.matmul.get(), static_cast<dnnl_query_t>(what), index);
}

void primitive_ext::bind(slot& s, int id, void* ptr) {
  if (s.memory) {
    TORCH_CHECK(s.id == id, "primitive_ext: argument slot of id ", s.id, " was given id ", id);
    check(dnnl_memory_set_data_handle(s.memory.get(), ptr), "could not set native handle of a memory object");
    return;
  }
  dnnl::query query;
  int index = 0;
  switch (id) {
    case DNNL_ARG_SRC: query = dnnl::query::src_md; break;
    case DNNL_ARG_DST: query = dnnl::query::dst_md; break;
    case DNNL_ARG_WEIGHTS: query = dnnl::query::weights_md; break;
    case DNNL_ARG_BIAS: query = dnnl::query::weights_md; index = 1; break;
    case DNNL_ARG_SCRATCHPAD: query = dnnl::query::scratchpad_md; break;
    default: TORCH_CHECK(false, "primitive_ext: no memory descriptor for argument id ", id);
  }
  s.id = id;
  s.memory = dpcpp_onednn_memory(clone(query_md(query, index)), engine_, ptr);
}

void primitive_ext::expand_weights(dnnl::stream& stream, const dnnl::memory& stored, char* scratchpad) {
  TORCH_CHECK(scratchpad != nullptr, "this matmul expands its weights into the scratchpad: pass argument ",
              DNNL_ARG_SCRATCHPAD);
  expanded_.set_data_handle(scratchpad);
  if (matmul_scratchpad_) matmul_scratchpad_.set_data_handle(scratchpad + matmul_scratchpad_offset_);
  int count = 2;
  dnnl_exec_arg_t args[] = {{DNNL_ARG_FROM, stored.get()}, {DNNL_ARG_TO, expanded_.get()}, {DNNL_ARG_SCRATCHPAD, nullptr}};
  if (reorder_scratchpad_) {
    reorder_scratchpad_.set_data_handle(scratchpad + reorder_scratchpad_offset_);
    args[count++].memory = reorder_scratchpad_.get();
  }
  check(dnnl_primitive_execute(reorder_.get(), stream.get(), count, args), "could not execute a primitive");
}

void primitive_ext::execute(dnnl::stream& stream, std::initializer_list<std::pair<int, void*>> args,
                            std::initializer_list<std::pair<int, dnnl::memory>> call_memories) {
  TORCH_CHECK(args.size() <= kSlots, "primitive_ext takes at most ", kSlots, " arguments");
  hostxpu::device_access scope;
  records_.clear();
  const dnnl::memory* stored_weights = nullptr;
  char* scratchpad = nullptr;
  size_t i = 0;
  for (const auto& [id, ptr] : args) {
    slot& s = slots_[i++];
    bind(s, id, ptr);
    if (plan_.expand && id == DNNL_ARG_WEIGHTS) {
      stored_weights = &s.memory;
      continue;
    }
    if (plan_.expand && id == DNNL_ARG_SCRATCHPAD) {
      scratchpad = static_cast<char*>(ptr);
      continue;
    }
    records_.push_back({id, s.memory.get()});
  }
  if (stored_weights != nullptr) {
    expand_weights(stream, *stored_weights, scratchpad);
    records_.push_back({DNNL_ARG_WEIGHTS, expanded_.get()});
    if (matmul_scratchpad_) records_.push_back({DNNL_ARG_SCRATCHPAD, matmul_scratchpad_.get()});
  }
  for (const auto& [id, memory] : call_memories) records_.push_back({id, memory.get()});
  check(dnnl_primitive_execute(matmul_.get(), stream.get(), static_cast<int>(records_.size()), records_.data()),
        "could not execute a primitive");
}

}  // namespace dnnl_utils
