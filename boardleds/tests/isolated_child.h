// Runs test code in a forked child, so that namespaces, mounts and stderr
// redirection never reach the test process or this machine.
#pragma once

#include <functional>
#include <string>
#include <sys/wait.h>

namespace boardleds::testing {

// Text of the failed checks; empty when everything held.
using Failures = std::string;

struct ChildResult {
    bool skipped = false;
    std::string text;  // skip reason, or failures
    int wait_status = 0;
};

// In the child: prepare() returns a reason to skip (empty: go on), then
// body() returns the failures. Only the child ever sees either.
ChildResult run_in_child(const std::function<std::string()> &prepare,
                         const std::function<Failures()> &body);

// Private mount namespace with an empty tmpfs over /sys.
std::string enter_private_sys();

// Private network namespace, PHY requests through real system calls and a
// socket created inside it.
std::string enter_private_net();

// Everything fn writes to standard error.
std::string capture_stderr(const std::function<void()> &fn);

// Appends "what" to failures unless ok.
void check(Failures &failures, bool ok, const std::string &what);

} // namespace boardleds::testing

// Skips or fails the current test from a child result.
#define EXPECT_CHILD_PASSED(result)                          \
    do {                                                     \
        const auto &r_ = (result);                           \
        if (r_.skipped)                                      \
            GTEST_SKIP() << r_.text;                         \
        EXPECT_EQ(r_.text, "");                              \
        EXPECT_TRUE(WIFEXITED(r_.wait_status) && WEXITSTATUS(r_.wait_status) == 0) \
            << "child wait status " << r_.wait_status;       \
    } while (0)
