// Raising the engine's exception from inside the engine.
#pragma once

#include <cstdint>
#include <source_location>

#include "vextune/vextuneAPI.h"

namespace vxt {

// Throws VXT_Exception(text, file, line, code) naming the caller's location.
[[noreturn]] inline void raise(std::int32_t code, const char* text,
                               std::source_location where = std::source_location::current())
{
    throw VXT_Exception(text, where.file_name(), static_cast<int>(where.line()), code);
}

}  // namespace vxt
