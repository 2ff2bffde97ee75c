#include "formats/parallel_rows.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vorn::formats {

void parallel_rows_threads(int64_t rows, const RowRange& body) {
  const int64_t threads = std::min<int64_t>(rows, std::max(1u, std::thread::hardware_concurrency()));
  if (threads <= 1) {
    if (rows > 0) body(0, rows);
    return;
  }
  std::exception_ptr failure;
  std::mutex failure_mutex;
  auto run = [&](int64_t begin, int64_t end) {
    try {
      body(begin, end);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(failure_mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  const int64_t chunk = (rows + threads - 1) / threads;
  for (int64_t begin = chunk; begin < rows; begin += chunk)
    workers.emplace_back(run, begin, std::min(rows, begin + chunk));
  run(0, std::min(rows, chunk));
  for (auto& worker : workers) worker.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vorn::formats
