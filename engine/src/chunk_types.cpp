#include "chunk_types.h"

#include <cstdio>

namespace vxt {

std::string hex8(std::uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

}  // namespace vxt
