#include "platform/trace.h"

#include <deque>
#include <mutex>

namespace hostxpu {
namespace {

std::mutex trace_mutex;
std::deque<launch_record> trace;

}  // namespace

void record_launch(launch_record record) {
  std::lock_guard<std::mutex> lock(trace_mutex);
  if (trace.size() == kLaunchTraceCapacity) trace.pop_front();
  trace.push_back(std::move(record));
}

std::vector<launch_record> launch_trace() {
  std::lock_guard<std::mutex> lock(trace_mutex);
  return {trace.begin(), trace.end()};
}

void clear_launch_trace() {
  std::lock_guard<std::mutex> lock(trace_mutex);
  trace.clear();
}

}  // namespace hostxpu
