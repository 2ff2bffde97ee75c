#include "dnnl_utils/matmul_plan.h"

#include <ATen/Parallel.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

#include "linear/half_rounding.h"
#include "platform/memory.h"

namespace dnnl_utils {

namespace {

using dt = dnnl::memory::data_type;

bool is_fp8(dt type) { return type == dt::f8_e4m3 || type == dt::f8_e5m2; }

// Every f8_e4m3 and f8_e5m2 value, NaN and infinities included, is exact in f16 and in bf16.
dt expanded_type(dt src) { return src == dt::bf16 ? dt::bf16 : dt::f16; }

dnnl::memory::desc retyped(const dnnl::memory::desc& md, dt type) {
  if (md.is_zero() || md.get_data_type() == type) return md;
  return dnnl::memory::desc(md.get_dims(), type, md.get_strides());
}

// f16 widened to f32, which holds every f16 value exactly.
dnnl::memory::desc widened(const dnnl::memory::desc& md) {
  return md.is_zero() || md.get_data_type() != dt::f16 ? md : retyped(md, dt::f32);
}

struct operands {
  dnnl::memory::desc src, weights, bias, dst;
};

std::optional<dnnl::matmul::primitive_desc> build(const dnnl::engine& engine, const operands& o,
                                                  const dnnl::primitive_attr& attr, bool reference_too) {
  dnnl::matmul::primitive_desc pd(engine, o.src, o.weights, o.bias, o.dst, attr, /*allow_empty=*/true);
  if (!pd || (!reference_too && is_reference_impl(pd))) return std::nullopt;
  return pd;
}

// The roads oneDNN may take for `asked`, fastest first: the operands as they are; fp8 weights
// expanded; f16 operands widened to f32 beside f16 (or expanded fp8) weights, then beside f32
// weights.
std::vector<operands> roads(const operands& asked) {
  std::vector<operands> candidates{asked};
  const dt weights = asked.weights.get_data_type();
  if (is_fp8(weights)) {
    candidates.push_back({asked.src, retyped(asked.weights, expanded_type(asked.src.get_data_type())), asked.bias,
                          asked.dst});
  }
  const operands wide{widened(asked.src), is_fp8(weights) ? retyped(asked.weights, dt::f16) : asked.weights,
                      widened(asked.bias), widened(asked.dst)};
  if (wide.src != asked.src || wide.bias != asked.bias || wide.dst != asked.dst) {
    candidates.push_back(wide);
    if (weights == dt::f16 || is_fp8(weights)) {
      candidates.push_back({wide.src, retyped(asked.weights, dt::f32), wide.bias, wide.dst});
    }
  }
  return candidates;
}

dnnl::reorder::primitive_desc conversion(const dnnl::engine& engine, const dnnl::memory::desc& from,
                                         const dnnl::memory::desc& to) {
  dnnl::primitive_attr attr;
  attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
  return dnnl::reorder::primitive_desc(engine, from, engine, to, attr);
}

void run_reorder(const dnnl::reorder::primitive_desc& pd, const dnnl::engine& engine, dnnl::stream& stream,
                 const dnnl::memory& from, const dnnl::memory& to) {
  std::unordered_map<int, dnnl::memory> args{{DNNL_ARG_FROM, from}, {DNNL_ARG_TO, to}};
  if (pd.scratchpad_desc().get_size() > 0) args[DNNL_ARG_SCRATCHPAD] = dnnl::memory(pd.scratchpad_desc(), engine);
  dnnl::reorder(pd).execute(stream, args);
}

// The 256 values of fp8 type `from` in type `to` (2 or 4 bytes each), by oneDNN's reorder.
const std::vector<uint8_t>& fp8_table(const dnnl::engine& engine, dnnl::stream& stream, dt from, dt to) {
  static std::mutex mutex;
  static std::map<std::pair<dt, dt>, std::vector<uint8_t>> tables;
  const std::lock_guard<std::mutex> lock(mutex);
  std::vector<uint8_t>& table = tables[{from, to}];
  if (table.empty()) {
    std::vector<uint8_t> codes(256);
    for (int c = 0; c < 256; ++c) codes[c] = static_cast<uint8_t>(c);
    table.resize(256 * dnnl::memory::data_type_size(to));
    const dnnl::memory::dims count{256};
    dnnl::memory source({count, from, dnnl::memory::format_tag::a}, engine, codes.data());
    dnnl::memory values({count, to, dnnl::memory::format_tag::a}, engine, table.data());
    dnnl::reorder(source, values).execute(stream, source, values);
    stream.wait();
  }
  return table;
}

// convert(in, out, length) over runs of [0, count), on the intra-op threads.
template <class In, class Out, class Convert>
void convert_in_runs(const void* in, void* out, int64_t count, const Convert& convert) {
  at::parallel_for(0, count, int64_t{1} << 16, [&](int64_t begin, int64_t end) {
    convert(static_cast<const In*>(in) + begin, static_cast<Out*>(out) + begin, end - begin);
  });
}

// The conversion of a run of fp8 codes by their values in `table`.
template <class V>
auto by_table(const std::vector<uint8_t>& table) {
  return [values = reinterpret_cast<const V*>(table.data())](const uint8_t* codes, V* out, int64_t length) {
    for (int64_t i = 0; i < length; ++i) out[i] = values[codes[i]];
  };
}

// from -> to as `pd` converts them, on the host where it can.
void convert(const dnnl::reorder::primitive_desc& pd, const dnnl::engine& engine, dnnl::stream& stream,
             const dnnl::memory& from, const dnnl::memory& to) {
  if (converts_on_host(from.get_desc(), to.get_desc())) return convert_on_host(engine, stream, from, to);
  run_reorder(pd, engine, stream, from, to);
}

// The converted operands of one execution, in blocks of a device, whose allocator keeps large
// blocks for reuse: memory that oneDNN allocated faulted its pages in afresh on every call (for
// the f16 expansion of a 4096 x 4096 fp8 weight, 8 of an fp32 FP8 linear's 12 ms).
class device_blocks {
 public:
  explicit device_blocks(int device) : device_(device) {}
  device_blocks(const device_blocks&) = delete;
  device_blocks& operator=(const device_blocks&) = delete;
  ~device_blocks() {
    for (void* block : blocks_) hostxpu::release(block);
  }

  dnnl::memory memory(const dnnl::memory::desc& md, const dnnl::engine& engine) {
    blocks_.push_back(nullptr);  // the slot first: a failing push_back cannot leak the block
    blocks_.back() = hostxpu::allocate(device_, md.get_size());
    return dnnl::memory(md, engine, blocks_.back());
  }

 private:
  int device_;
  std::vector<void*> blocks_;
};

matmul_plan plan_road(const dnnl::engine& engine, const operands& asked, const operands& road,
                      const dnnl::matmul::primitive_desc& pd) {
  matmul_plan plan{pd, {}};
  const std::tuple<int, const dnnl::memory::desc&, const dnnl::memory::desc&> inputs[] = {
      {DNNL_ARG_SRC, asked.src, road.src}, {DNNL_ARG_WEIGHTS, asked.weights, road.weights},
      {DNNL_ARG_BIAS, asked.bias, road.bias}};
  for (const auto& [arg, stored, taken] : inputs) {
    if (taken != stored) plan.conversions.push_back({arg, stored, conversion(engine, stored, taken)});
  }
  if (road.dst != asked.dst) plan.conversions.push_back({DNNL_ARG_DST, asked.dst, conversion(engine, road.dst, asked.dst)});
  return plan;
}

}  // namespace

bool converts_on_host(const dnnl::memory::desc& from, const dnnl::memory::desc& to) {
  const auto dense = [](const dnnl::memory::desc& md) {
    dnnl::memory::dim count = 1;
    for (const dnnl::memory::dim d : md.get_dims()) count *= d;
    return md.get_format_kind() == dnnl::memory::format_kind::blocked && md.get_inner_nblks() == 0 &&
           md.get_size() == static_cast<size_t>(count) * dnnl::memory::data_type_size(md.get_data_type());
  };
  const dt source = from.get_data_type(), target = to.get_data_type();
  const bool table = is_fp8(source) && (target == dt::f16 || target == dt::bf16 || target == dt::f32);
  const bool halves = (source == dt::f16 && target == dt::f32) || (source == dt::f32 && target == dt::f16);
  return (table || halves) && from.get_dims() == to.get_dims() && from.get_strides() == to.get_strides() &&
         dense(from) && dense(to);
}

void convert_on_host(const dnnl::engine& engine, dnnl::stream& stream, const dnnl::memory& from,
                     const dnnl::memory& to) {
  const dt source = from.get_desc().get_data_type(), target = to.get_desc().get_data_type();
  const void* in = from.get_data_handle();
  void* out = to.get_data_handle();
  const int64_t count = static_cast<int64_t>(to.get_desc().get_size() / dnnl::memory::data_type_size(target));
  if (source == dt::f16) return convert_in_runs<uint16_t, float>(in, out, count, vorn::kernels::half_bits_to_floats);
  if (source == dt::f32) return convert_in_runs<float, uint16_t>(in, out, count, vorn::kernels::round_to_half_bits);
  const std::vector<uint8_t>& table = fp8_table(engine, stream, source, target);
  if (target == dt::f32) return convert_in_runs<uint8_t, uint32_t>(in, out, count, by_table<uint32_t>(table));
  convert_in_runs<uint8_t, uint16_t>(in, out, count, by_table<uint16_t>(table));
}

dnnl::memory::desc matmul_plan::stored(int arg) const {
  if (const converted_operand* c = conversion_of(arg)) return c->stored;
  switch (arg) {
    case DNNL_ARG_SRC: return matmul.src_desc();
    case DNNL_ARG_WEIGHTS: return matmul.weights_desc();
    case DNNL_ARG_BIAS: return matmul.bias_desc();
    default: return matmul.dst_desc();
  }
}

const converted_operand* matmul_plan::conversion_of(int arg) const {
  for (const converted_operand& c : conversions) {
    if (c.arg == arg) return &c;
  }
  return nullptr;
}

bool is_reference_impl(const dnnl::primitive_desc_base& pd) {
  return std::string(pd.impl_info_str()).rfind("ref", 0) == 0;
}

matmul_plan plan_matmul(const dnnl::engine& engine, const dnnl::memory::desc& src,
                        const dnnl::memory::desc& weights, const dnnl::memory::desc& bias,
                        const dnnl::memory::desc& dst, const dnnl::primitive_attr& attr) {
  const operands asked{src, weights, bias, dst};
  const std::vector<operands> candidates = roads(asked);
  // An optimised kernel on any road before oneDNN's reference code (which some bias shapes
  // need) on any road.
  for (const bool reference_too : {false, true}) {
    for (const operands& road : candidates) {
      const std::optional<dnnl::matmul::primitive_desc> pd = build(engine, road, attr, reference_too);
      if (pd) return plan_road(engine, asked, road, *pd);
    }
  }
  // Build as asked once more, to raise oneDNN's own error.
  return {dnnl::matmul::primitive_desc(engine, src, weights, bias, dst, attr), {}};
}

void execute_plan(const matmul_plan& plan, dnnl::engine& engine, dnnl::stream& stream,
                  std::unordered_map<int, dnnl::memory> args, int device) {
  hostxpu::device_access scope;
  device_blocks converted_operands(device);
  dnnl::memory stored_dst;
  for (const converted_operand& c : plan.conversions) {
    if (c.arg == DNNL_ARG_DST) {
      stored_dst = args.at(DNNL_ARG_DST);
      args[DNNL_ARG_DST] = converted_operands.memory(c.reorder.src_desc(), engine);
      continue;
    }
    dnnl::memory converted = converted_operands.memory(c.reorder.dst_desc(), engine);
    convert(c.reorder, engine, stream, args.at(c.arg), converted);
    args[c.arg] = converted;
  }
  dnnl::matmul(plan.matmul).execute(stream, args);
  if (stored_dst) convert(plan.conversions.back().reorder, engine, stream, args.at(DNNL_ARG_DST), stored_dst);
}

}  // namespace dnnl_utils
