#pragma once
// Streams and in-order queues of the host platform, shaped like PyTorch's XPU stream API.
//
// Each device has two pools (normal and high priority) of kStreamsPerPool streams. Stream 0 of
// the normal pool is the device's default stream and every thread's initial current stream.
// A queue runs each submitted command group to completion before submit returns, which is a
// valid in-order queue: every later submission sees the earlier results.

#include <cstdint>
#include <string>
#include <utility>

#include "platform/device.h"
#include "platform/launch.h"

namespace hostxpu {

constexpr int kStreamsPerPool = 32;
constexpr int kPriorityNormal = 0;
constexpr int kPriorityHigh = -1;

class queue;

// Records one kernel of a command group; the kernel runs when the command group is submitted.
class handler {
 public:
  template <typename Body>
  void parallel_for(kernel_desc desc, Body&& body) {
    launch(dev_, stream_id_, desc, work_group_fn(body));
  }

 private:
  friend class queue;
  handler(device dev, int64_t stream_id) : dev_(dev), stream_id_(stream_id) {}
  device dev_;
  int64_t stream_id_;
};

class queue {
 public:
  queue(device dev, int64_t stream_id) : dev_(dev), stream_id_(stream_id) {}
  const device& get_device() const { return dev_; }
  int64_t stream_id() const { return stream_id_; }

  template <typename CommandGroup>
  void submit(CommandGroup&& command_group) {
    handler h(dev_, stream_id_);
    std::forward<CommandGroup>(command_group)(h);
  }
  void wait() const {}

 private:
  device dev_;
  int64_t stream_id_;
};

class XPUStream {
 public:
  XPUStream(DeviceIndex device_index, int64_t id);
  DeviceIndex device_index() const { return device_index_; }
  int64_t id() const { return id_; }
  int priority() const;
  ::hostxpu::queue& queue() const;
  void synchronize() const {}
  bool operator==(const XPUStream& other) const {
    return device_index_ == other.device_index_ && id_ == other.id_;
  }

 private:
  DeviceIndex device_index_;
  int64_t id_;
};

// Index -1 means the calling thread's current device; an index with no device throws.
XPUStream getCurrentXPUStream(int device_index = -1);
XPUStream getDefaultXPUStream(int device_index = -1);
XPUStream getStreamFromPool(int priority = kPriorityNormal, int device_index = -1);
void setCurrentXPUStream(const XPUStream& stream);
void synchronize_device(int device_index = -1);

}  // namespace hostxpu
