// Runs test code in a forked child, optionally in new namespaces, so that
// mounts, network changes, closed descriptors and crashes never reach the
// test process or this machine.
#ifndef QN_TESTS_SUPPORT_CHILD_H
#define QN_TESTS_SUPPORT_CHILD_H

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace qn::test {

// Text of the failed checks, one a line; empty when everything held.
using Failures = std::string;

// Exit status of a child that skipped its test; the reason is its report.
constexpr int kSkipStatus = 77;

struct ChildOptions {
    // CLONE_NEWNS, CLONE_NEWPID, CLONE_NEWNET (any of them). A new mount
    // namespace has its mounts made private first; in a new PID namespace
    // the body runs as its process 1.
    int namespaces = 0;
    unsigned timeout_seconds = 0;  // SIGALRM ends a body that takes longer
    bool capture_output = false;   // the body's standard output and error
};

struct ChildResult {
    bool skipped = false;
    std::string skip_reason;
    Failures failures;
    int wait_status = -1;  // of the process that ran the body
    std::string out, err;  // with capture_output

    // The body returned no failures and its process exited with 0.
    bool passed() const;
    bool exited_with_zero() const;
    // Failures and how the body's process ended, for a test's message.
    std::string summary() const;
};

// Runs body in a child and waits for it and everything it left holding the
// report. prepare (if given) runs first in the child and returns a reason
// to skip, empty to go on. A namespace that cannot be made is a skip.
ChildResult run_in_child(const ChildOptions &options, const std::function<std::string()> &prepare,
                         const std::function<Failures()> &body);
ChildResult run_in_child(const std::function<std::string()> &prepare,
                         const std::function<Failures()> &body);

// In a child: ends it as skipped, with the reason (errno's text appended
// when errno is set).
[[noreturn]] void skip_child(const std::string &reason);

// In a child: reports what the body found so far and ends it with status;
// for bodies that must not return (the process 1 of a namespace that must
// exit with a status of its own).
[[noreturn]] void end_child(const Failures &failures, int status);

// Expects the child to have reported no failures (shown as they are when
// it did); true when it also exited with 0.
inline bool expect_no_failures(const ChildResult &result)
{
    EXPECT_EQ(result.failures, "");
    return result.exited_with_zero();
}

// Appends "what" to failures unless ok.
void check(Failures &failures, bool ok, const std::string &what);

}  // namespace qn::test

// Skips the test when the child skipped, else expects it to have reported
// no failures and to have exited with 0; takes a message with <<.
#define EXPECT_CHILD_PASSED(result)                                                 \
    switch (0)                                                                      \
    case 0:                                                                         \
    default:                                                                        \
        if (const ::qn::test::ChildResult &qn_child_ = (result); qn_child_.skipped) \
            GTEST_SKIP() << qn_child_.skip_reason;                                  \
        else                                                                        \
            EXPECT_TRUE(::qn::test::expect_no_failures(qn_child_)) << qn_child_.summary()

#endif
