#pragma once
// The launch trace: a bounded record of the most recent kernel launches, for tests and profiling.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hostxpu {

struct launch_record {
  std::string name;
  int dims;
  std::array<size_t, 3> global;
  std::array<size_t, 3> local;
  int sub_group_size;
  size_t local_memory_bytes;
  int device;
  int64_t stream_id;
};

constexpr size_t kLaunchTraceCapacity = 4096;

void record_launch(launch_record record);
// Oldest first; at most kLaunchTraceCapacity records.
std::vector<launch_record> launch_trace();
void clear_launch_trace();

}  // namespace hostxpu
