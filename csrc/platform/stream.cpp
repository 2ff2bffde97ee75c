#include "platform/stream.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace hostxpu {
namespace {

constexpr int kPriorityLevels = 2;  // level 0: normal, level 1: high
constexpr int64_t kStreamsPerDevice = kPriorityLevels * kStreamsPerPool;

int level_of(int priority) { return priority < 0 ? 1 : 0; }

int resolve(int device_index) {
  if (device_index == -1) return current_device();
  check_device_index(device_index);
  return device_index;
}

// Queues are made on first use and live for the process.
struct QueueTable {
  std::array<std::array<std::unique_ptr<queue>, kStreamsPerDevice>, kMaxDevices> queues;
  std::array<std::array<std::once_flag, kStreamsPerDevice>, kMaxDevices> made;
  std::array<std::array<std::atomic<uint32_t>, kPriorityLevels>, kMaxDevices> next_in_pool{};

  queue& get(int device_index, int64_t id) {
    std::call_once(made[device_index][id], [&] {
      queues[device_index][id] = std::make_unique<queue>(device(device_index), id);
    });
    return *queues[device_index][id];
  }
};

QueueTable& queue_table() {
  static QueueTable table;
  return table;
}

thread_local std::array<int64_t, kMaxDevices> tls_current_stream{};

}  // namespace

XPUStream::XPUStream(DeviceIndex device_index, int64_t id) : device_index_(device_index), id_(id) {
  check_device_index(device_index);
  if (id < 0 || id >= kStreamsPerDevice) {
    throw std::out_of_range("xpu stream id " + std::to_string(id) + " does not exist on device " +
                            std::to_string(device_index));
  }
}

int XPUStream::priority() const { return id_ >= kStreamsPerPool ? kPriorityHigh : kPriorityNormal; }

queue& XPUStream::queue() const { return queue_table().get(device_index_, id_); }

XPUStream getCurrentXPUStream(int device_index) {
  int index = resolve(device_index);
  return XPUStream(static_cast<DeviceIndex>(index), tls_current_stream[index]);
}

XPUStream getDefaultXPUStream(int device_index) {
  return XPUStream(static_cast<DeviceIndex>(resolve(device_index)), 0);
}

XPUStream getStreamFromPool(int priority, int device_index) {
  int index = resolve(device_index);
  int level = level_of(priority);
  uint32_t n = queue_table().next_in_pool[index][level].fetch_add(1, std::memory_order_relaxed);
  // The normal pool skips slot 0, the default stream, as PyTorch's pools do.
  int64_t slot = level == 0 ? 1 + n % (kStreamsPerPool - 1) : n % kStreamsPerPool;
  return XPUStream(static_cast<DeviceIndex>(index), level * kStreamsPerPool + slot);
}

void setCurrentXPUStream(const XPUStream& stream) {
  tls_current_stream[stream.device_index()] = stream.id();
}

void synchronize_device(int device_index) { resolve(device_index); }

}  // namespace hostxpu
