#include "device/gpu_type.h"

#include <array>
#include <utility>

#include "platform/stream.h"

namespace {

// Architecture codes (Intel GPU IP versions, as the device-architecture query reports them)
// and their classes. SELUM devices run 32-wide sub-groups; LEGACY holds the Xe-LP generation.
constexpr std::array<std::pair<uint64_t, GpuType>, 14> kArchitectureTable = {{
    {0x030f0007, TAVOK},   // Ponte Vecchio
    {0x030f4007, TAVOK},   // Ponte Vecchio VG
    {0x05004000, TAVOK},   // Battlemage G21
    {0x030dc008, SELUM},   // Alchemist G10
    {0x03118004, DUKOR},   // Meteor Lake U
    {0x0311c004, DUKOR},   // Meteor Lake H
    {0x030e0005, FAHIP},   // Alchemist G11
    {0x05010004, RIZEL},   // Lunar Lake
    {0x07800000, KEZAP},   // Panther Lake H
    {0x03000000, LEGACY},  // Tiger Lake LP
    {0x03004000, LEGACY},  // Rocket Lake
    {0x03008000, LEGACY},  // Alder Lake S
    {0x0300c000, LEGACY},  // Alder Lake P
    {0x03028000, LEGACY},  // DG1
}};

constexpr const char* kClassNames[] = {"tavok", "selum", "dukor", "fahip",
                                       "rizel", "kezap", "legacy", "unknown"};

}  // namespace

GpuType classify_architecture(uint64_t code) {
  for (const auto& [table_code, type] : kArchitectureTable) {
    if (table_code == code) return type;
  }
  return UNKNOWN;
}

GpuType get_gpu_type(const c10::Device& device) {
  const hostxpu::queue& queue = hostxpu::getCurrentXPUStream(device.index()).queue();
  return classify_architecture(queue.get_device().architecture());
}

std::string get_xpu_device_name(c10::Device device) { return kClassNames[get_gpu_type(device)]; }
