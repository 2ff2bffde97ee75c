#pragma once
// The one way kernels of this library reach a device: the current stream's queue.

#include <c10/core/Device.h>

#include <utility>

#include "platform/stream.h"

namespace common_utils {

// Submits a command group to the queue of the current stream of `device`'s index (-1: the
// current device). `name` identifies the submission; each kernel carries its own name too.
template <typename CommandGroup>
void submit_kernel(CommandGroup&& command_group, const c10::Device& device, const char* name) {
  (void)name;
  hostxpu::getCurrentXPUStream(device.index()).queue().submit(std::forward<CommandGroup>(command_group));
}

}  // namespace common_utils
