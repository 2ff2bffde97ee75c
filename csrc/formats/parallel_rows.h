#pragma once
// Row-parallel execution for the whole-matrix functions of this layer. The layer knows no
// thread pool of its own beyond std::thread: callers that have one (the tensor library's) pass
// it in as a ParallelRows.

#include <cstdint>
#include <functional>

namespace vorn::formats {

using RowRange = std::function<void(int64_t begin, int64_t end)>;

// Runs body over [0, rows) split into disjoint ranges, and returns when all have finished,
// rethrowing the first exception a range threw.
using ParallelRows = std::function<void(int64_t rows, const RowRange& body)>;

// A ParallelRows over std::thread: one contiguous range per hardware thread.
void parallel_rows_threads(int64_t rows, const RowRange& body);

}  // namespace vorn::formats
