#include "formats/matrix_shape.h"

#include <limits>
#include <stdexcept>
#include <string>

#include "formats/qtype.h"

namespace vorn::formats {

int32_t checked_region_nk(int qtype, int64_t n, int64_t k) {
  if (!qtype_has_format(qtype)) throw std::invalid_argument(unsupported_qtype_message(qtype));
  const std::string name = qtype_name(qtype);
  if (n < 0 || k < 0)
    throw std::invalid_argument(name + ": matrix sizes must be non-negative, got [" +
                                std::to_string(n) + ", " + std::to_string(k) + "]");
  const int block = GGML_BLCK_SIZE[qtype];
  if (k % block != 0)
    throw std::invalid_argument(name + ": k = " + std::to_string(k) +
                                " must be a multiple of the block size " + std::to_string(block));
  if (k != 0 && n > std::numeric_limits<int64_t>::max() / k)
    throw std::invalid_argument(name + ": n*k = " + std::to_string(n) + "*" + std::to_string(k) +
                                " overflows");
  constexpr int64_t kLimit = std::numeric_limits<int32_t>::max();
  if (k != 0 && n > kLimit / k) {
    if (qtype_is_planar(qtype))
      throw std::invalid_argument(name + ": n*k = " + std::to_string(n) + "*" + std::to_string(k) +
                                  " must stay below 2^31 for a planar format");
    return 0;
  }
  return int32_t(n * k);
}

void check_buffers(const void* in, const void* out, int64_t n, int64_t k) {
  if (n > 0 && k > 0 && (in == nullptr || out == nullptr))
    throw std::invalid_argument("null buffer for a [" + std::to_string(n) + ", " + std::to_string(k) +
                                "] matrix");
}

}  // namespace vorn::formats
