#pragma once
// VYX_ASSERT(condition): a check on an invariant the code itself keeps, such as an index
// the tracer produced or a size it chose. Bad input never reaches one: input is checked
// where it is read and takes its failure path. In builds that define VYX_ASSERTIONS
// (debug, sanitizer and fuzzing builds) a false condition prints its file, line and
// text on stderr and aborts. In release builds the condition is not evaluated at all, so
// it must not have side effects. Usable from every layer: util, where it lives, is the
// lowest.
//
// VYX_ASSERT_LT(a, b), _LE, _EQ, _NE, _GE, _GT: the comparison a < b (<=, ==, !=, >=, >),
// whose failure message also gives the two values, each operand evaluated once. The
// operands are numbers, enumerations or pointers; a signed one compares with an unsigned
// one only after a cast (assertion builds warn, and warnings are errors). The same
// release-build rules apply.

#ifdef VYX_ASSERTIONS

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <type_traits>

[[noreturn]] inline void vyxAssertFailed(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, condition);
    std::abort();
}

// One operand of a failed comparison on stderr, floats with every digit they hold.
template <typename T>
void vyxAssertPrintValue(const T& value) {
    if constexpr (std::is_enum_v<T>) {
        vyxAssertPrintValue(static_cast<std::underlying_type_t<T>>(value));
    } else if constexpr (std::is_same_v<T, bool>) {
        std::fputs(value ? "true" : "false", stderr);
    } else if constexpr (std::is_floating_point_v<T>) {
        std::fprintf(stderr, "%.*g", std::numeric_limits<T>::max_digits10, static_cast<double>(value));
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        std::fprintf(stderr, "%lld", static_cast<long long>(value));
    } else if constexpr (std::is_integral_v<T>) {
        std::fprintf(stderr, "%llu", static_cast<unsigned long long>(value));
    } else {
        static_assert(std::is_pointer_v<T> || std::is_null_pointer_v<T>, "compare numbers, enums or pointers");
        std::fprintf(stderr, "%p", static_cast<const void*>(value));
    }
}

// holds is the comparison's result; text the comparison as written, aText and bText its
// two operands.
template <typename A, typename B>
void vyxAssertCompare(bool holds, const A& a, const B& b, const char* file, int line, const char* text,
                      const char* aText, const char* bText) {
    if (holds)
        return;
    std::fprintf(stderr, "%s:%d: assertion failed: %s (%s = ", file, line, text, aText);
    vyxAssertPrintValue(a);
    std::fprintf(stderr, ", %s = ", bText);
    vyxAssertPrintValue(b);
    std::fputs(")\n", stderr);
    std::abort();
}

#define VYX_ASSERT(condition) ((condition) ? static_cast<void>(0) : vyxAssertFailed(__FILE__, __LINE__, #condition))

// The operands are bound once to references, compared, and handed on for the message.
#define VYX_ASSERT_COMPARE(a, op, b)                                                                                   \
    [](const auto& vyxAssertA, const auto& vyxAssertB) {                                                               \
        vyxAssertCompare(vyxAssertA op vyxAssertB, vyxAssertA, vyxAssertB, __FILE__, __LINE__, #a " " #op " " #b, #a,  \
                         #b);                                                                                          \
    }((a), (b))

#else

// sizeof names the variables of the condition without evaluating it, so a variable that
// only an assertion reads raises no unused-variable warning.
#define VYX_ASSERT(condition) static_cast<void>(sizeof(!(condition)))
#define VYX_ASSERT_COMPARE(a, op, b) VYX_ASSERT((a)op(b))

#endif

#define VYX_ASSERT_LT(a, b) VYX_ASSERT_COMPARE(a, <, b)
#define VYX_ASSERT_LE(a, b) VYX_ASSERT_COMPARE(a, <=, b)
#define VYX_ASSERT_EQ(a, b) VYX_ASSERT_COMPARE(a, ==, b)
#define VYX_ASSERT_NE(a, b) VYX_ASSERT_COMPARE(a, !=, b)
#define VYX_ASSERT_GE(a, b) VYX_ASSERT_COMPARE(a, >=, b)
#define VYX_ASSERT_GT(a, b) VYX_ASSERT_COMPARE(a, >, b)
