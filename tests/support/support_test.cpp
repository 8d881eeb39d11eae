// The support library's own promises that the module tests lean on.
#include "child.h"
#include "descriptors.h"
#include "stderr_capture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qn::test;

namespace {

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace

// A skip, reported failures, a bad exit status and a crash are four
// different outcomes; only a clean return passes.
TEST(Child, OutcomesAreToldApart)
{
    const ChildResult clean = run_in_child(nullptr, [] { return Failures(); });
    EXPECT_TRUE(clean.passed() && !clean.skipped) << clean.summary();

    const ChildResult skipped = run_in_child([] { return std::string("no such thing"); },
                                             [] { return Failures("never run\n"); });
    EXPECT_TRUE(skipped.skipped);
    EXPECT_EQ(skipped.skip_reason, "no such thing");

    const ChildResult failed = run_in_child(nullptr, [] { return Failures("wrong\n"); });
    EXPECT_FALSE(failed.passed() || failed.skipped);
    EXPECT_EQ(failed.failures, "wrong\n");

    const ChildResult bad_status = run_in_child(nullptr, [] {
        end_child("", 3);
        return Failures();
    });
    EXPECT_FALSE(bad_status.passed() || bad_status.skipped) << bad_status.summary();

    const ChildResult crashed = run_in_child(nullptr, []() -> Failures { std::abort(); });
    EXPECT_TRUE(WIFSIGNALED(crashed.wait_status) && !crashed.passed());
}

// In a new PID namespace the body is process 1 and how it ended comes back,
// not that of the process that made the namespace.
TEST(Child, PidNamespaceBodyIsProcessOne)
{
    ChildOptions options;
    options.namespaces = CLONE_NEWPID | CLONE_NEWNS;
    options.capture_output = true;
    const ChildResult result = run_in_child(options, nullptr, [] {
        std::printf("pid %d\n", static_cast<int>(::getpid()));
        std::fprintf(stderr, "on stderr\n");
        end_child("", 5);
        return Failures();
    });
    if (result.skipped)
        GTEST_SKIP() << result.skip_reason;
    EXPECT_TRUE(WIFEXITED(result.wait_status) && WEXITSTATUS(result.wait_status) == 5)
        << result.summary();
    EXPECT_EQ(result.out, "pid 1\n");
    EXPECT_EQ(result.err, "on stderr\n");
}

// Started with 2>&- (and 0, 1 closed too): the capture still sees what is
// written to standard error, and afterwards descriptor 2 is closed again
// rather than left on the capture, where a later file would not get it.
TEST(StderrCaptureTest, ClosedStandardDescriptorsStayClosed)
{
    ChildOptions options;
    options.timeout_seconds = 10;
    EXPECT_CHILD_PASSED(run_in_child(options, nullptr, [] {
        Failures f;
        for (int fd : {0, 1, 2})
            ::close(fd);
        const int before = count_open_descriptors();
        const std::string text = capture_stderr([] { std::fputs("seen\n", stderr); });
        check(f, text == "seen\n", "captured: " + text);
        check(f, !is_open(STDERR_FILENO), "descriptor 2 closed again");
        check(f, count_open_descriptors() == before, "no descriptor left behind");
        return f;
    }));
}
