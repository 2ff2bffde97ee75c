#pragma once
// Device classes: kernel variants and kernel tables differ between GPU generations.

#include <c10/core/Device.h>

#include <cstdint>
#include <string>

enum GpuType : int32_t {
  TAVOK = 0,
  SELUM = 1,  // served by the 32-lane kernel tables
  DUKOR = 2,
  FAHIP = 3,
  RIZEL = 4,
  KEZAP = 5,
  LEGACY = 6,  // served by the dimla tables
  UNKNOWN = 7,
};

// The class of the device with `device`'s index (-1: the current device); the device type is
// not examined. Asks the device through its current stream's queue on every call.
GpuType get_gpu_type(const c10::Device& device);
std::string get_xpu_device_name(c10::Device device);

// The class of an architecture code: exact matches of the architecture table, else UNKNOWN.
GpuType classify_architecture(uint64_t code);
