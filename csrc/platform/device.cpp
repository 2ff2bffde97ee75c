#include "platform/device.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <stdexcept>

namespace hostxpu {
namespace {

// Sub-group sizes every emulated device accepts as a kernel's required size: the union of what
// the GPU generations of the architecture table support, so each class can run its kernels.
const std::vector<int> kSubGroupSizes = {8, 16, 32};

struct Devices {
  int count = 1;
  std::array<std::atomic<uint64_t>, kMaxDevices> architecture{};

  Devices() {
    if (const char* text = std::getenv("VORN_XPU_DEVICE_COUNT")) {
      char* end = nullptr;
      long value = std::strtol(text, &end, 10);
      if (end == text || *end != '\0' || value < 1 || value > kMaxDevices) {
        throw std::invalid_argument("VORN_XPU_DEVICE_COUNT must be an integer from 1 to " +
                                    std::to_string(kMaxDevices) + ", got '" + text + "'");
      }
      count = static_cast<int>(value);
    }
    std::vector<uint64_t> codes{kDefaultArchitecture};
    if (const char* text = std::getenv("VORN_XPU_ARCH")) codes = parse_architecture_list(text);
    for (int i = 0; i < kMaxDevices; ++i) {
      architecture[i] = codes[std::min<size_t>(i, codes.size() - 1)];
    }
  }
};

Devices& devices() {
  static Devices instance;
  return instance;
}

thread_local DeviceIndex tls_current_device = 0;

}  // namespace

std::vector<uint64_t> parse_architecture_list(const std::string& text) {
  std::vector<uint64_t> codes;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    char* stop = nullptr;
    uint64_t code = std::strtoull(item.c_str(), &stop, 0);
    if (item.empty() || *stop != '\0') {
      throw std::invalid_argument("VORN_XPU_ARCH: '" + item +
                                  "' is not an architecture code (decimal or 0x-hex)");
    }
    codes.push_back(code);
    start = end + 1;
  }
  return codes;
}

int device_count() { return devices().count; }

void check_device_index(int index) {
  if (index < 0 || index >= device_count()) {
    throw std::out_of_range("xpu device index " + std::to_string(index) +
                            " is out of range: the host platform has " +
                            std::to_string(device_count()) + " device(s)");
  }
}

device get_device(int index) {
  check_device_index(index);
  return device(static_cast<DeviceIndex>(index));
}

uint64_t device::architecture() const {
  return devices().architecture[index_].load(std::memory_order_relaxed);
}

const std::vector<int>& device::sub_group_sizes() const { return kSubGroupSizes; }

void set_architecture(int index, uint64_t code) {
  check_device_index(index);
  devices().architecture[index].store(code, std::memory_order_relaxed);
}

DeviceIndex current_device() { return tls_current_device; }

void set_current_device(int index) {
  check_device_index(index);
  tls_current_device = static_cast<DeviceIndex>(index);
}

}  // namespace hostxpu
