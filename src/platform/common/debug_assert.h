// KESTRIX_ASSERT(condition): a fault of the program's own reasoning, checked
// in debug builds (the dev and fuzz presets), where it ends the program with
// the condition and its place; release builds (NDEBUG) neither check nor
// evaluate it. It is no error handling: what input can bring about is
// answered, never asserted.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace kestrix {

[[noreturn]] inline void AssertionFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace kestrix

#ifdef NDEBUG
#define KESTRIX_ASSERT(condition) static_cast<void>(sizeof(static_cast<bool>(condition)))
#else
#define KESTRIX_ASSERT(condition)                      \
  (static_cast<bool>(condition) ? static_cast<void>(0) \
                                : ::kestrix::AssertionFailed(#condition, __FILE__, __LINE__))
#endif
