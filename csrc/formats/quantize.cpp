#include "formats/quantize.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "formats/matrix_shape.h"
#include "formats/quantize_blocks.h"

namespace vorn::formats {

void quantize(int qtype, const float* weight, int64_t n, int64_t k, uint8_t* out,
              const ParallelRows& parallel) {
  const int32_t nk = checked_region_nk(qtype, n, k);
  check_buffers(weight, out, n, k);
  with_format(qtype, [&](auto tag) {
    using F = typename decltype(tag)::type;
    const typename F::Layout at(nk);
    const int64_t blocks_per_row = k / F::kBlock;
    parallel(n, [&](int64_t begin, int64_t end) {
      for (int64_t row = begin; row < end; ++row) {
        const float* x = weight + row * k;
        for (int64_t i = 0; i < k; ++i)
          if (!std::isfinite(x[i]))
            throw std::invalid_argument(std::string(qtype_name(qtype)) + ": weight [" +
                                        std::to_string(row) + ", " + std::to_string(i) +
                                        "] is not finite");
        for (int64_t b = 0; b < blocks_per_row; ++b)
          encode_block<F>(at, out, row * blocks_per_row + b, x + b * F::kBlock);
      }
    });
  });
}

}  // namespace vorn::formats
