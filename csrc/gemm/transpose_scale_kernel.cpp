#include "gemm/transpose_scale_kernel.h"

void transpose_scale_kernel(hostxpu::queue& q, const uint16_t* src, uint16_t* dst, size_t rows, size_t cols) {
  const hostxpu::kernel_desc desc{"transpose_scale_kernel", hostxpu::nd_range(rows * cols, rows), 0, 0};
  q.submit([&](hostxpu::handler& h) {
    h.parallel_for(desc, [&](const hostxpu::work_group& g) {
      for (size_t lid = 0; lid < rows; ++lid) {
        const size_t i = g.linear_id * rows + lid;
        dst[(i % rows) * cols + i / rows] = src[i];
      }
    });
  });
}
