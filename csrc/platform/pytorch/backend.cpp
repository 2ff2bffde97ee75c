// Allocator and device guard of the host platform, registered for PyTorch's XPU device type.

#include "platform/pytorch/backend.h"

#include <c10/core/DeviceGuard.h>
#include <c10/core/impl/DeviceGuardImplInterface.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "platform/device.h"
#include "platform/memory.h"
#include "platform/stream.h"

namespace hostxpu {
namespace {

c10::Device xpu_device(int index) {
  return c10::Device(c10::DeviceType::XPU, static_cast<c10::DeviceIndex>(index));
}

void release_device_memory(void* ptr) { release(ptr); }

class HostXPUAllocator final : public c10::Allocator {
 public:
  c10::DataPtr allocate(size_t nbytes) override {
    int index = current_device();
    void* ptr = hostxpu::allocate(index, nbytes);
    return {ptr, ptr, &release_device_memory, xpu_device(index)};
  }
  c10::DeleterFnPtr raw_deleter() const override { return &release_device_memory; }
  void copy_data(void* dest, const void* src, std::size_t count) const override {
    std::memcpy(dest, src, count);
  }
};

struct AdoptedBuffer {
  c10::DataPtr host;
};

void release_adopted(void* context) {
  auto* adopted = static_cast<AdoptedBuffer*>(context);
  unregister_allocation(adopted->host.get());
  delete adopted;
}

c10::Stream to_c10(const XPUStream& s) {
  return c10::Stream(c10::Stream::UNSAFE, xpu_device(s.device_index()), s.id());
}

XPUStream from_c10(const c10::Stream& s) { return XPUStream(s.device_index(), s.id()); }

// Streams are in-order host queues and events carry no state: work is complete when submit
// returns, so every query answers "done" and every wait returns at once.
class HostXPUGuardImpl final : public c10::impl::DeviceGuardImplInterface {
 public:
  c10::DeviceType type() const override { return c10::DeviceType::XPU; }
  c10::Device exchangeDevice(c10::Device d) const override {
    c10::Device old = getDevice();
    if (d.index() != old.index()) setDevice(d);
    return old;
  }
  c10::Device getDevice() const override { return xpu_device(current_device()); }
  void setDevice(c10::Device d) const override { set_current_device(d.index() < 0 ? 0 : d.index()); }
  void uncheckedSetDevice(c10::Device d) const noexcept override {
    if (d.index() >= 0 && d.index() < device_count()) set_current_device(d.index());
  }
  c10::Stream getStream(c10::Device d) const override { return to_c10(getCurrentXPUStream(d.index())); }
  c10::Stream getDefaultStream(c10::Device d) const override {
    return to_c10(getDefaultXPUStream(d.index()));
  }
  c10::Stream getStreamFromGlobalPool(c10::Device d, bool high_priority) const override {
    return to_c10(getStreamFromPool(high_priority ? kPriorityHigh : kPriorityNormal, d.index()));
  }
  c10::Stream getNewStream(c10::Device d, int priority) const override {
    return to_c10(getStreamFromPool(priority, d.index()));
  }
  c10::Stream exchangeStream(c10::Stream s) const override {
    XPUStream old = getCurrentXPUStream(s.device_index());
    setCurrentXPUStream(from_c10(s));
    return to_c10(old);
  }
  c10::DeviceIndex deviceCount() const noexcept override {
    return static_cast<c10::DeviceIndex>(device_count());
  }
  void record(void** /*event*/, const c10::Stream& /*stream*/, const c10::DeviceIndex /*device*/,
              const c10::EventFlag /*flag*/) const override {}
  void block(void* /*event*/, const c10::Stream& /*stream*/) const override {}
  bool queryEvent(void* /*event*/) const override { return true; }
  void destroyEvent(void* /*event*/, const c10::DeviceIndex /*device*/) const noexcept override {}
  bool queryStream(const c10::Stream& /*stream*/) const override { return true; }
  void synchronizeStream(const c10::Stream& /*stream*/) const override {}
  void synchronizeEvent(void* /*event*/) const override {}
  void synchronizeDevice(const c10::DeviceIndex index) const override { synchronize_device(index); }
  void recordDataPtrOnStream(const c10::DataPtr& /*data*/, const c10::Stream& /*stream*/) const override {}
  double elapsedTime(void* /*start*/, void* /*end*/, const c10::DeviceIndex /*device*/) const override {
    throw std::runtime_error("the host XPU platform does not time events");
  }
};

HostXPUAllocator allocator_instance;

struct Registration {
  Registration() {
    if (!host_backend_enabled()) return;
    static c10::impl::DeviceGuardImplRegistrar guard(c10::DeviceType::XPU, new HostXPUGuardImpl());
    c10::SetAllocator(c10::DeviceType::XPU, &allocator_instance);
  }
} registration;

}  // namespace

bool host_backend_enabled() {
  static const bool enabled =
      c10::impl::device_guard_impl_registry[static_cast<size_t>(c10::DeviceType::XPU)].load() == nullptr;
  return enabled;
}

c10::Allocator* xpu_allocator() { return &allocator_instance; }

c10::DataPtr adopt_host_buffer(c10::DataPtr cpu_data, size_t nbytes, c10::Device device) {
  void* data = cpu_data.get();
  register_allocation(device.index(), data, nbytes);
  return {data, new AdoptedBuffer{std::move(cpu_data)}, &release_adopted, device};
}

}  // namespace hostxpu
