#pragma once
// VYX_ASSERT(condition): a check on an invariant the code itself keeps, such as an index
// the tracer produced or a size it chose. Bad input never reaches one: input is checked
// where it is read and takes its failure path. In builds that define VYX_ASSERTIONS
// (debug, sanitizer and fuzzing builds) a false condition prints its file, line and
// text on stderr and aborts. In release builds the condition is not evaluated at all, so
// it must not have side effects. Usable from every layer: geometry is the lowest.

#ifdef VYX_ASSERTIONS

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void vyxAssertFailed(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, condition);
    std::abort();
}

#define VYX_ASSERT(condition) ((condition) ? static_cast<void>(0) : vyxAssertFailed(__FILE__, __LINE__, #condition))

#else

// sizeof names the variables of the condition without evaluating it, so a variable that
// only an assertion reads raises no unused-variable warning.
#define VYX_ASSERT(condition) static_cast<void>(sizeof(!(condition)))

#endif
