// Operators of the host XPU platform (namespace vorn_host): the controls behind the companion
// package's Python API, and probes the tests and the bench use.

#include <ATen/ATen.h>
#include <torch/library.h>

#include <chrono>
#include <memory>
#include <tuple>

#include "bindings/interpreter_check.h"
#include "dnnl_utils/Runtime.h"
#include "platform/device.h"
#include "platform/memory.h"
#include "platform/pytorch/backend.h"
#include "platform/stream.h"
#include "platform/trace.h"

namespace {

int64_t device_count() { return hostxpu::device_count(); }
int64_t current_device() { return hostxpu::current_device(); }
void set_device(int64_t index) { hostxpu::set_current_device(static_cast<int>(index)); }
int64_t get_architecture(int64_t index) {
  return static_cast<int64_t>(hostxpu::get_device(static_cast<int>(index)).architecture());
}
void set_architecture(int64_t index, int64_t code) {
  hostxpu::set_architecture(static_cast<int>(index), static_cast<uint64_t>(code));
}

std::tuple<int64_t, int64_t, int64_t> current_stream(int64_t device) {
  hostxpu::XPUStream s = hostxpu::getCurrentXPUStream(static_cast<int>(device));
  return {s.device_index(), s.id(), s.priority()};
}
int64_t stream_from_pool(int64_t device, int64_t priority) {
  return hostxpu::getStreamFromPool(static_cast<int>(priority), static_cast<int>(device)).id();
}
void set_stream(int64_t device, int64_t id) {
  hostxpu::setCurrentXPUStream(hostxpu::XPUStream(static_cast<hostxpu::DeviceIndex>(device), id));
}
void synchronize(int64_t device) { hostxpu::synchronize_device(static_cast<int>(device)); }

// One name and nine numbers per launch: dims, global[3], local[3], sub-group size, device.
std::tuple<std::vector<std::string>, std::vector<int64_t>> launch_trace() {
  std::vector<std::string> names;
  std::vector<int64_t> numbers;
  for (const hostxpu::launch_record& r : hostxpu::launch_trace()) {
    names.push_back(r.name);
    numbers.push_back(r.dims);
    for (size_t g : r.global) numbers.push_back(static_cast<int64_t>(g));
    for (size_t l : r.local) numbers.push_back(static_cast<int64_t>(l));
    numbers.push_back(r.sub_group_size);
    numbers.push_back(r.device);
  }
  return {names, numbers};
}
void clear_launch_trace() { hostxpu::clear_launch_trace(); }

hostxpu::kernel_desc empty_kernel(c10::IntArrayRef global, c10::IntArrayRef local, int64_t sub_group) {
  TORCH_CHECK(global.size() == local.size() && !global.empty() && global.size() <= 3,
              "global and local ranges need the same number of dimensions, 1 to 3");
  hostxpu::kernel_desc desc{"empty_kernel", {}, static_cast<int>(sub_group), 0};
  desc.range.dims = static_cast<int>(global.size());
  for (size_t d = 0; d < global.size(); ++d) {
    TORCH_CHECK(global[d] >= 0 && local[d] >= 0, "ranges must not be negative");
    desc.range.global[d] = static_cast<size_t>(global[d]);
    desc.range.local[d] = static_cast<size_t>(local[d]);
  }
  return desc;
}

void launch_empty_kernel(c10::IntArrayRef global, c10::IntArrayRef local, int64_t sub_group) {
  hostxpu::kernel_desc desc = empty_kernel(global, local, sub_group);
  hostxpu::getCurrentXPUStream().queue().submit(
      [&](hostxpu::handler& h) { h.parallel_for(desc, [](const hostxpu::work_group&) {}); });
}

// Mean wall time of one launch of an empty single-group kernel, in microseconds.
double time_empty_launches(int64_t count) {
  TORCH_CHECK(count > 0, "count must be positive");
  hostxpu::kernel_desc desc = empty_kernel({16}, {16}, 16);
  hostxpu::queue& queue = hostxpu::getCurrentXPUStream().queue();
  auto start = std::chrono::steady_clock::now();
  for (int64_t i = 0; i < count; ++i) {
    queue.submit([&](hostxpu::handler& h) { h.parallel_for(desc, [](const hostxpu::work_group&) {}); });
  }
  std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / static_cast<double>(count);
}

// Reads every 8-byte word of `buffer` in a platform kernel (one work-group per MiB) and folds
// them into one value, so that the bench can measure the machine's memory read bandwidth.
int64_t read_probe(const at::Tensor& buffer) {
  TORCH_CHECK(buffer.is_xpu() && buffer.is_contiguous(), "read_probe takes a contiguous xpu tensor");
  // Eight independent 16-byte accumulators keep enough loads in flight to saturate memory.
  using u64x2 = uint64_t __attribute__((vector_size(16)));
  constexpr size_t kChunkVectors = (1 << 20) / sizeof(u64x2);
  const auto* vectors = static_cast<const u64x2*>(buffer.const_data_ptr());
  const size_t chunks = buffer.nbytes() / (kChunkVectors * sizeof(u64x2));
  std::vector<uint64_t> folded(chunks);
  hostxpu::kernel_desc desc{"read_probe", {chunks, 1}, 0, 0};
  hostxpu::getCurrentXPUStream(buffer.device().index()).queue().submit([&](hostxpu::handler& h) {
    h.parallel_for(desc, [&](const hostxpu::work_group& g) {
      const u64x2* chunk = vectors + g.linear_id * kChunkVectors;
      u64x2 lanes[8] = {};
      for (size_t i = 0; i < kChunkVectors; i += 8) {
        for (int l = 0; l < 8; ++l) lanes[l] ^= chunk[i + l];
      }
      u64x2 all = lanes[0];
      for (int l = 1; l < 8; ++l) all ^= lanes[l];
      folded[g.linear_id] = all[0] ^ all[1];
    });
  });
  uint64_t value = 0;
  for (uint64_t f : folded) value ^= f;
  return static_cast<int64_t>(value);
}

bool is_live_range(int64_t device, int64_t address, int64_t nbytes) {
  TORCH_CHECK(nbytes >= 0, "nbytes must not be negative");
  return hostxpu::is_live_range(static_cast<int>(device), static_cast<uint64_t>(address),
                                static_cast<size_t>(nbytes));
}

int64_t cached_bytes() { return static_cast<int64_t>(hostxpu::cached_bytes()); }

std::string interpreter_check(const std::string& built_for, const std::string& running) {
  return interpreter_mismatch(built_for, running);
}

// a [M, K] x b [K, N] in f32 through a oneDNN matmul primitive on the current device's engine.
at::Tensor onednn_matmul_f32(const at::Tensor& a, const at::Tensor& b) {
  TORCH_CHECK(a.is_xpu() && b.is_xpu(), "onednn_matmul_f32 takes xpu tensors");
  TORCH_CHECK(a.scalar_type() == at::kFloat && b.scalar_type() == at::kFloat, "onednn_matmul_f32 takes float32");
  TORCH_CHECK(a.dim() == 2 && b.dim() == 2 && a.size(1) == b.size(0), "onednn_matmul_f32 takes [M, K] and [K, N]");
  at::Tensor ac = a.contiguous(), bc = b.contiguous();
  at::Tensor c = at::empty({a.size(0), b.size(1)}, a.options());
  dnnl::engine& engine = dnnl_utils::GpuEngineManager::Instance().get_engine(
      c10::Device(c10::DeviceType::XPU, hostxpu::current_device()));
  using tag = dnnl::memory::format_tag;
  using dt = dnnl::memory::data_type;
  dnnl::memory::desc a_md({a.size(0), a.size(1)}, dt::f32, tag::ab);
  dnnl::memory::desc b_md({b.size(0), b.size(1)}, dt::f32, tag::ab);
  dnnl::memory::desc c_md({a.size(0), b.size(1)}, dt::f32, tag::ab);
  dnnl::matmul matmul(dnnl::matmul::primitive_desc(engine, a_md, b_md, c_md));
  hostxpu::device_access scope;
  matmul.execute(dnnl_utils::GpuStreamManager::Instance().get_stream(),
                 {{DNNL_ARG_SRC, dnnl::memory(a_md, engine, ac.data_ptr())},
                  {DNNL_ARG_WEIGHTS, dnnl::memory(b_md, engine, bc.data_ptr())},
                  {DNNL_ARG_DST, dnnl::memory(c_md, engine, c.data_ptr())}});
  return c;
}

struct Registration {
  std::unique_ptr<torch::Library> library, xpu_kernels;
  Registration() {
    if (!hostxpu::host_backend_enabled()) return;
    library = std::make_unique<torch::Library>(torch::Library::DEF, "vorn_host", std::nullopt,
                                               __FILE__, __LINE__);
    torch::Library& m = *library;
    m.def("device_count() -> int", &device_count);
    m.def("current_device() -> int", &current_device);
    m.def("set_device(int index) -> ()", &set_device);
    m.def("get_architecture(int index) -> int", &get_architecture);
    m.def("set_architecture(int index, int code) -> ()", &set_architecture);
    m.def("current_stream(int device) -> (int, int, int)", &current_stream);
    m.def("stream_from_pool(int device, int priority) -> int", &stream_from_pool);
    m.def("set_stream(int device, int id) -> ()", &set_stream);
    m.def("synchronize(int device) -> ()", &synchronize);
    m.def("launch_trace() -> (str[], int[])", &launch_trace);
    m.def("clear_launch_trace() -> ()", &clear_launch_trace);
    m.def("launch_empty_kernel(int[] global_range, int[] local_range, int sub_group) -> ()",
          &launch_empty_kernel);
    m.def("time_empty_launches(int count) -> float", &time_empty_launches);
    m.def("read_probe(Tensor buffer) -> int");
    m.def("is_live_range(int device, int address, int nbytes) -> bool", &is_live_range);
    m.def("cached_bytes() -> int", &cached_bytes);
    m.def("empty_cache() -> ()", &hostxpu::empty_cache);
    m.def("interpreter_check(str built_for, str running) -> str", &interpreter_check);
    m.def("onednn_matmul_f32(Tensor a, Tensor b) -> Tensor");
    xpu_kernels = std::make_unique<torch::Library>(torch::Library::IMPL, "vorn_host", c10::DispatchKey::XPU,
                                                   __FILE__, __LINE__);
    xpu_kernels->impl("onednn_matmul_f32", TORCH_FN(onednn_matmul_f32));
    xpu_kernels->impl("read_probe", TORCH_FN(read_probe));
  }
} registration;

}  // namespace
