#include "dnnl_utils/Runtime.h"

#include <c10/util/Exception.h>

#include "platform/device.h"

// torch/include carries the headers of PyTorch's private oneDNN; building against them and
// linking ours would mix two versions.
static_assert(DNNL_VERSION_MAJOR == VORN_DNNL_VERSION_MAJOR && DNNL_VERSION_MINOR == VORN_DNNL_VERSION_MINOR,
              "oneDNN headers do not belong to the oneDNN library being linked");

namespace dnnl_utils {

GpuEngineManager& GpuEngineManager::Instance() {
  static GpuEngineManager instance;
  return instance;
}

GpuEngineManager::GpuEngineManager() {
  const int device_count = hostxpu::device_count();
  TORCH_INTERNAL_ASSERT(device_count > 0);
  for (int i = 0; i < device_count; ++i) {
    engines_.push_back(std::make_shared<dnnl::engine>(dnnl::engine::kind::cpu, 0));
  }
}

dnnl::engine& GpuEngineManager::get_engine(const c10::Device& device) {
  TORCH_INTERNAL_ASSERT(device.index() < hostxpu::device_count());
  TORCH_CHECK(device.index() >= 0, "oneDNN engine lookup needs a device index, got ", device);
  return *engines_[device.index()];
}

GpuStreamManager& GpuStreamManager::Instance() {
  thread_local GpuStreamManager instance;
  return instance;
}

GpuStreamManager::GpuStreamManager() {
  const int deviceCount = hostxpu::device_count();
  TORCH_INTERNAL_ASSERT(deviceCount > 0);
  streams_.resize(deviceCount);
}

dnnl::stream& GpuStreamManager::get_stream() {
  const int device_index = hostxpu::current_device();
  TORCH_INTERNAL_ASSERT(device_index < hostxpu::device_count());
  hostxpu::XPUStream stream = hostxpu::getCurrentXPUStream(device_index);
  StreamMap& map = streams_[device_index][stream.priority() < 0 ? 1 : 0];
  auto found = map.find(stream);
  if (found == map.end()) {
    dnnl::engine& engine =
        GpuEngineManager::Instance().get_engine(c10::Device(c10::DeviceType::XPU, device_index));
    // Platform queues finish their work inside submit, so the oneDNN stream executes in order
    // on the host too.
    found = map.emplace(stream, std::make_shared<dnnl::stream>(engine, dnnl::stream::flags::in_order)).first;
  }
  return *found->second;
}

dnnl::engine& current_engine() {
  return GpuEngineManager::Instance().get_engine(c10::Device(c10::DeviceType::XPU, hostxpu::current_device()));
}

dnnl::memory::data_type get_onednn_dtype(const at::Tensor& tensor) {
  using dt = dnnl::memory::data_type;
  switch (tensor.scalar_type()) {
    case at::ScalarType::Byte: return dt::u8;
    case at::ScalarType::Char: return dt::s8;
    case at::ScalarType::Int: return dt::s32;
    case at::ScalarType::Half: return dt::f16;
    case at::ScalarType::Float: return dt::f32;
    case at::ScalarType::QInt8: return dt::s8;
    case at::ScalarType::QUInt8: return dt::u8;
    case at::ScalarType::BFloat16: return dt::bf16;
    case at::ScalarType::Float8_e5m2: return dt::f8_e5m2;
    case at::ScalarType::Float8_e4m3fn: return dt::f8_e4m3;
    default: TORCH_CHECK(false, tensor.scalar_type(), " is not supported in oneDNN!");
  }
}

std::vector<int64_t> get_onednn_dims(const at::Tensor& tensor) {
  return tensor.sizes().vec();
}

std::vector<int64_t> get_onednn_strides(const at::Tensor& tensor) {
  return tensor.strides().vec();
}

dnnl::memory dpcpp_onednn_memory(const dnnl::memory::desc& md, dnnl::engine& engine, void* ptr) {
  return ptr == nullptr ? dnnl::memory(md, engine) : dnnl::memory(md, engine, ptr);
}

bool set_onednn_verbose(int level) {
  return dnnl_set_verbose(level) == dnnl_success;
}

}  // namespace dnnl_utils
