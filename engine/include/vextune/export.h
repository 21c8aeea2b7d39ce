// Marks the declarations that the engine's shared library exports. The
// engine is built with hidden visibility, so everything else stays inside.
#pragma once

#if defined(VXT_STATIC)
#define VXT_API
#elif defined(__GNUC__) || defined(__clang__)
#define VXT_API __attribute__((visibility("default")))
#else
#define VXT_API
#endif
