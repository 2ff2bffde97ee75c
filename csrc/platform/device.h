#pragma once
// Emulated XPU devices of the host platform.
//
// Every device is the host CPU. What distinguishes devices is what they report: an architecture
// code (the value a SYCL runtime returns for info::device::architecture), a maximum work-group
// size and the sub-group sizes a kernel may require. Count and codes are read once from the
// environment; codes can be changed at run time so that every device class can be exercised.
//
//   VORN_XPU_DEVICE_COUNT  number of devices (default 1, at most kMaxDevices)
//   VORN_XPU_ARCH          comma-separated architecture codes, decimal or 0x-hex, one per device;
//                          devices beyond the list repeat its last code

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hostxpu {

using DeviceIndex = int8_t;

constexpr int kMaxDevices = 16;
constexpr size_t kMaxWorkGroupSize = 1024;
// The default architecture code of every device: an Intel data-center GPU code (see docs).
constexpr uint64_t kDefaultArchitecture = 0x030f0007;

class device {
 public:
  explicit device(DeviceIndex index) : index_(index) {}
  DeviceIndex index() const { return index_; }
  // The architecture query of the SYCL device-information descriptors; read live, never cached.
  uint64_t architecture() const;
  size_t max_work_group_size() const { return kMaxWorkGroupSize; }
  const std::vector<int>& sub_group_sizes() const;
  bool operator==(const device& other) const { return index_ == other.index_; }

 private:
  DeviceIndex index_;
};

int device_count();
// Throws std::out_of_range naming the index when no device has it.
device get_device(int index);
void check_device_index(int index);

// Changes what a device reports from now on (thread-safe).
void set_architecture(int index, uint64_t code);

// The calling thread's current device (initially 0).
DeviceIndex current_device();
void set_current_device(int index);

// Parses VORN_XPU_ARCH-style text; exposed for the Python controls and tests.
std::vector<uint64_t> parse_architecture_list(const std::string& text);

}  // namespace hostxpu
