#include "common/streaming_stores.h"

#include <algorithm>
#include <cstring>

namespace common_utils {

void stream_copy(void* dst, const void* src, size_t bytes) {
  auto* d = static_cast<uint8_t*>(dst);
  const auto* s = static_cast<const uint8_t*>(src);
#if defined(__SSE2__)
  // Ordinary stores up to dst's first line boundary and after its last whole line.
  const size_t head = std::min(bytes, (64 - reinterpret_cast<uintptr_t>(d) % 64) % 64);
  std::memcpy(d, s, head);
  size_t i = head;
  for (; i + 64 <= bytes; i += 64) {
    for (int part = 0; part < 64; part += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + part));
      _mm_stream_si128(reinterpret_cast<__m128i*>(d + i + part), v);
    }
  }
  std::memcpy(d + i, s + i, bytes - i);
#else
  std::memcpy(d, s, bytes);
#endif
}

}  // namespace common_utils
