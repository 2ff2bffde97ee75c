#pragma once
// The element-type switch of AT_DISPATCH_FLOATING_TYPES_AND2(Half, BFloat16, ...) for a name
// known only at run time (one template serving several named functions). Same failure: the
// name in double quotes, " not implemented for '", the type's name, "'".

#include <c10/core/ScalarType.h>
#include <c10/util/BFloat16.h>
#include <c10/util/Exception.h>
#include <c10/util/Half.h>

namespace common_utils {

template <class T>
struct Type {
  using type = T;
};

// Calls fn(Type<T>{}) for the element type T of `scalar_type`: double, float, Half, BFloat16.
template <class Fn>
void dispatch_floating_types(const char* name, c10::ScalarType scalar_type, Fn&& fn) {
  switch (scalar_type) {
    case c10::ScalarType::Double: return fn(Type<double>{});
    case c10::ScalarType::Float: return fn(Type<float>{});
    case c10::ScalarType::Half: return fn(Type<c10::Half>{});
    case c10::ScalarType::BFloat16: return fn(Type<c10::BFloat16>{});
    default: TORCH_CHECK_NOT_IMPLEMENTED(false, '"', name, "\" not implemented for '", c10::toString(scalar_type), "'");
  }
}

}  // namespace common_utils
