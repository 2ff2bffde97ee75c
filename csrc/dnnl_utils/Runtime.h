#pragma once
// oneDNN engines and streams over the host platform's devices and streams, and the small
// conversions between tensors and oneDNN descriptions. Every emulated device's engine is a
// oneDNN CPU engine; a oneDNN stream stands for one platform stream; "device memory" is the
// host memory behind xpu tensors.

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>
#include <c10/util/flat_hash_map.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include <oneapi/dnnl/dnnl.hpp>

#include "platform/stream.h"

namespace dnnl_utils {

class GpuEngineManager {
 public:
  static GpuEngineManager& Instance();
  dnnl::engine& get_engine(const c10::Device& device);

  GpuEngineManager(const GpuEngineManager&) = delete;
  GpuEngineManager& operator=(const GpuEngineManager&) = delete;

 private:
  GpuEngineManager();
  std::vector<std::shared_ptr<dnnl::engine>> engines_;
};

struct StreamHash {
  size_t operator()(const hostxpu::XPUStream& s) const {
    return std::hash<int64_t>()(s.id() * 64 + s.device_index());
  }
};

// One per thread: oneDNN streams are not shared between threads.
class GpuStreamManager {
 public:
  static GpuStreamManager& Instance();
  // The oneDNN stream of the current platform stream of the current device.
  dnnl::stream& get_stream();

  GpuStreamManager(const GpuStreamManager&) = delete;
  GpuStreamManager& operator=(const GpuStreamManager&) = delete;

 private:
  GpuStreamManager();
  using StreamMap = ska::flat_hash_map<hostxpu::XPUStream, std::shared_ptr<dnnl::stream>, StreamHash>;
  // Per device, one map per priority level.
  std::vector<std::array<StreamMap, 2>> streams_;
};

// The engine of the calling thread's current device.
dnnl::engine& current_engine();

dnnl::memory::data_type get_onednn_dtype(const at::Tensor& tensor);
std::vector<int64_t> get_onednn_dims(const at::Tensor& tensor);
std::vector<int64_t> get_onednn_strides(const at::Tensor& tensor);

// A memory object over device memory at `ptr`; a null `ptr` lets oneDNN allocate the buffer.
dnnl::memory dpcpp_onednn_memory(const dnnl::memory::desc& md, dnnl::engine& engine, void* ptr);

// oneDNN's own verbose output (ONEDNN_VERBOSE does the same from the environment); true when
// oneDNN accepts the level.
bool set_onednn_verbose(int level);

}  // namespace dnnl_utils
