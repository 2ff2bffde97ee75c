#include "dnnl_utils/primitive_ext.h"

#include <c10/util/Exception.h>

#include <algorithm>

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
  if (plan_.conversions.empty()) {
    scratchpad_md_ = matmul_scratchpad;
    return;
  }
  size_t offset = 0, reorder_scratchpad = 0;
  for (const converted_operand& c : plan_.conversions) {
    const dnnl::memory::desc converted = c.arg == DNNL_ARG_DST ? c.reorder.src_desc() : c.reorder.dst_desc();
    const dnnl::memory::desc scratchpad = c.reorder.scratchpad_desc();
    conversions_.push_back({c.arg, dnnl::reorder(c.reorder), offset,
                            dnnl::memory(converted, engine_, DNNL_MEMORY_NONE),
                            scratchpad.get_size() > 0 ? dnnl::memory(scratchpad, engine_, DNNL_MEMORY_NONE)
                                                      : dnnl::memory()});
    offset += align_up(converted.get_size(), kAlignment);
    reorder_scratchpad = std::max(reorder_scratchpad, scratchpad.get_size());
  }
  matmul_scratchpad_offset_ = offset;
  reorder_scratchpad_offset_ = offset + align_up(matmul_scratchpad.get_size(), kAlignment);
  scratchpad_md_ = bytes_md(reorder_scratchpad_offset_ + reorder_scratchpad);
  if (matmul_scratchpad.get_size() > 0) {
    matmul_scratchpad_ = dnnl::memory(matmul_scratchpad, engine_, DNNL_MEMORY_NONE);
  }
}

const_dnnl_memory_desc_t primitive_ext::query_md(dnnl::query what, int index) const {
  const int operand = what == dnnl::query::src_md       ? DNNL_ARG_SRC
                      : what == dnnl::query::dst_md     ? DNNL_ARG_DST
                      : what == dnnl::query::weights_md ? (index == 0 ? DNNL_ARG_WEIGHTS : DNNL_ARG_BIAS)
                                                        : 0;
  if (const converted_operand* c = plan_.conversion_of(operand)) return c->stored.get();
  switch (what) {
    case dnnl::query::scratchpad_md:
      return scratchpad_md_.get();
    case dnnl::query::weights_md:
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

void primitive_ext::place_in(char* scratchpad) {
  TORCH_CHECK(scratchpad != nullptr, "this matmul converts operands in the scratchpad: pass argument ",
              DNNL_ARG_SCRATCHPAD);
  for (conversion& c : conversions_) {
    c.converted.set_data_handle(scratchpad + c.offset);
    if (c.scratchpad) c.scratchpad.set_data_handle(scratchpad + reorder_scratchpad_offset_);
  }
  if (matmul_scratchpad_) matmul_scratchpad_.set_data_handle(scratchpad + matmul_scratchpad_offset_);
}

void primitive_ext::run_reorder(dnnl::stream& stream, const conversion& c, const dnnl::memory& from,
                                const dnnl::memory& to) {
  if (converts_on_host(from.get_desc(), to.get_desc())) return convert_on_host(engine_, stream, from, to);
  dnnl_exec_arg_t args[] = {{DNNL_ARG_FROM, from.get()}, {DNNL_ARG_TO, to.get()}, {DNNL_ARG_SCRATCHPAD, nullptr}};
  const int count = c.scratchpad ? 3 : 2;
  if (c.scratchpad) args[2].memory = c.scratchpad.get();
  check(dnnl_primitive_execute(c.reorder.get(), stream.get(), count, args), "could not execute a primitive");
}

void primitive_ext::execute(dnnl::stream& stream, std::initializer_list<std::pair<int, void*>> args,
                            std::initializer_list<std::pair<int, dnnl::memory>> call_memories) {
  TORCH_CHECK(args.size() <= kSlots, "primitive_ext takes at most ", kSlots, " arguments");
  hostxpu::device_access scope;
  records_.clear();
  std::array<const dnnl::memory*, 4> stored{};  // of each conversion
  char* scratchpad = nullptr;
  size_t i = 0;
  for (const auto& [id, ptr] : args) {
    slot& s = slots_[i++];
    bind(s, id, ptr);
    const auto converted = std::find_if(conversions_.begin(), conversions_.end(),
                                        [id = id](const conversion& c) { return c.arg == id; });
    if (converted != conversions_.end()) {
      stored[converted - conversions_.begin()] = &s.memory;
    } else if (id == DNNL_ARG_SCRATCHPAD && !conversions_.empty()) {
      scratchpad = static_cast<char*>(ptr);
    } else {
      records_.push_back({id, s.memory.get()});
    }
  }
  if (!conversions_.empty()) {
    place_in(scratchpad);
    for (size_t c = 0; c < conversions_.size(); ++c) {
      TORCH_CHECK(stored[c] != nullptr, "primitive_ext: argument ", conversions_[c].arg, " is missing");
      if (conversions_[c].arg != DNNL_ARG_DST) run_reorder(stream, conversions_[c], *stored[c], conversions_[c].converted);
      records_.push_back({conversions_[c].arg, conversions_[c].converted.get()});
    }
    if (matmul_scratchpad_) records_.push_back({DNNL_ARG_SCRATCHPAD, matmul_scratchpad_.get()});
  }
  for (const auto& [id, memory] : call_memories) records_.push_back({id, memory.get()});
  check(dnnl_primitive_execute(matmul_.get(), stream.get(), static_cast<int>(records_.size()), records_.data()),
        "could not execute a primitive");
  if (!conversions_.empty() && conversions_.back().arg == DNNL_ARG_DST) {
    run_reorder(stream, conversions_.back(), conversions_.back().converted, *stored[conversions_.size() - 1]);
  }
}

}  // namespace dnnl_utils
