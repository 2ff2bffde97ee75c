#pragma once
// The host platform as PyTorch's XPU device backend.

#include <c10/core/Allocator.h>
#include <c10/core/Device.h>

namespace hostxpu {

// False on a PyTorch build with an XPU backend of its own: the host platform then registers
// nothing and the library refuses to load. Decided once, before any registration of ours.
bool host_backend_enabled();

// The allocator behind every xpu tensor; allocations land in the registry of live allocations.
c10::Allocator* xpu_allocator();

// Device memory from a host buffer without a copy: the result keeps `cpu_data` alive and is
// registered as a live allocation of `nbytes` on `device` for as long as it lives.
c10::DataPtr adopt_host_buffer(c10::DataPtr cpu_data, size_t nbytes, c10::Device device);

}  // namespace hostxpu
