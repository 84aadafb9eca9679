// printed(f): runs f with standard output captured and returns what it printed.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

template <class F>
std::string printed(F&& f) {
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
