#pragma once
// What a block of code prints on standard output and standard error.

#include <gtest/gtest.h>

#include <string>

struct CapturedOutput {
    std::string out, err;
};

// Runs body with both streams captured and returns what it printed. Not nestable.
template <typename F>
CapturedOutput capture(F&& body) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    body();
    CapturedOutput result;
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    return result;
}
