// VXT_API marks what the engine's shared library exports.
//
// The engine is compiled with hidden visibility, so only declarations marked
// VXT_API are visible to programs that link it. Mark every function and class
// declared in the public headers, and nothing else; the exported_symbols test
// reads the VXT_API declarations of these headers to tell which symbols the
// library may export.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define VXT_API __attribute__((visibility("default")))
#else
#define VXT_API
#endif
