#pragma once
// The RWKV work-group functions step through their work-items in loops the compiler vectorises,
// compiled once per instruction-set level.

#include "common/vector_clones.h"

#define RWKV_VECTOR_CLONES VORN_VECTOR_CLONES
