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
  return *engines_.at(device.index());
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

}  // namespace dnnl_utils
