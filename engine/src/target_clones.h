// VXT_CLONES builds a function twice, for AVX and for the baseline, and lets
// the loader pick one for the processor at start-up. Only loops whose every
// value is one multiply, add, maximum or compare use it, so both builds give
// the same bits.
//
// ThreadSanitizer builds keep one version: the loader runs the picking
// functions before the sanitizer's runtime is ready, and instrumented ones
// crash there.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define VXT_NO_CLONES 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VXT_NO_CLONES 1
#endif
#endif

#if (defined(__x86_64__) || defined(__i386__)) && !defined(VXT_NO_CLONES)
#define VXT_CLONES __attribute__((target_clones("avx", "default")))
#else
#define VXT_CLONES
#endif
