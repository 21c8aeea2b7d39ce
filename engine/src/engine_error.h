// Raising the engine's exception from inside the engine.
#pragma once

#include <cstdint>

#include "vextune/error.h"

namespace vxt {

// Throws VXT_Exception(text, file, line, code) naming the caller's location.
// The compiler builtins stand in for std::source_location, which not every
// supported compiler's library provides yet.
[[noreturn]] inline void raise(std::int32_t code, const char* text, const char* file = __builtin_FILE(),
                               int line = __builtin_LINE())
{
    throw VXT_Exception(text, file, line, code);
}

}  // namespace vxt
