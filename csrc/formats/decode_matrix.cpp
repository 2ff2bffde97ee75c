#include "formats/decode_matrix.h"

#include "formats/formats.h"
#include "formats/matrix_shape.h"

namespace vorn::formats {

void decode_matrix(int qtype, const uint8_t* w, int64_t n, int64_t k, float* out,
                   const ParallelRows& parallel) {
  const int32_t nk = checked_region_nk(qtype, n, k);
  check_buffers(w, out, n, k);
  with_format(qtype, [&](auto tag) {
    using F = typename decltype(tag)::type;
    const Packed<F> matrix(w, nk);
    const int64_t blocks_per_row = k / F::kBlock;
    parallel(n, [&](int64_t begin, int64_t end) {
      for (int64_t blk = begin * blocks_per_row; blk < end * blocks_per_row; ++blk)
        decode_run<F>(matrix.block(blk), 0, F::kBlock, out + blk * F::kBlock);
    });
  });
}

}  // namespace vorn::formats
