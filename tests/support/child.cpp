#include "child.h"

#include "descriptors.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qn::test {
namespace {

// Where the body's process writes its report; -1 outside a child.
int report_fd = -1;

std::string with_errno(const std::string &what)
{
    return errno != 0 ? what + ": " + std::strerror(errno) : what;
}

[[noreturn]] void report_and_exit(const std::string &text, int status)
{
    std::fflush(nullptr);
    if (report_fd >= 0)
        write_all(report_fd, text);
    ::_exit(status);
}

void enter_namespaces(int namespaces)
{
    if (namespaces == 0)
        return;
    if (::unshare(namespaces) != 0)
        skip_child("unshare(" + std::to_string(namespaces) + ")");
    if ((namespaces & CLONE_NEWNS) != 0 &&
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        skip_child("making the mounts private");
}

[[noreturn]] void run_body(const std::function<std::string()> &prepare,
                           const std::function<Failures()> &body)
{
    Failures failures;
    try {
        if (prepare) {
            const std::string skip = prepare();
            if (!skip.empty()) {
                errno = 0;
                skip_child(skip);
            }
        }
        failures = body();
    } catch (const std::exception &e) {
        failures = std::string("exception: ") + e.what() + "\n";
    }
    end_child(failures, 0);
}

// Process 1 of a new PID namespace is the next child; this one passes on
// how it ended, through status_fd.
[[noreturn]] void run_as_init(int status_fd, const std::function<std::string()> &prepare,
                              const std::function<Failures()> &body)
{
    const pid_t init = ::fork();
    if (init < 0)
        skip_child("fork into the PID namespace");
    if (init == 0) {
        ::close(status_fd);
        if (::getpid() != 1) {
            errno = 0;
            skip_child("not process 1 of a new PID namespace");
        }
        run_body(prepare, body);
    }
    // The report pipe belongs to the body now: this process must not hold
    // its end open past the body's.
    ::close(report_fd);
    int status = 0;
    while (::waitpid(init, &status, 0) < 0 && errno == EINTR) {
    }
    write_all(status_fd, std::string(reinterpret_cast<const char *>(&status), sizeof status));
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 0);
}

void redirect_output(int out_fd, int err_fd)
{
    ::dup2(out_fd, STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
}

}  // namespace

bool ChildResult::passed() const { return failures.empty() && exited_with_zero(); }

bool ChildResult::exited_with_zero() const
{
    return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

std::string ChildResult::summary() const
{
    std::string text = failures;
    if (WIFEXITED(wait_status))
        text += "child exit status " + std::to_string(WEXITSTATUS(wait_status));
    else if (WIFSIGNALED(wait_status))
        text += "child killed by signal " + std::to_string(WTERMSIG(wait_status));
    else
        text += "child wait status " + std::to_string(wait_status);
    return text;
}

ChildResult run_in_child(const ChildOptions &options, const std::function<std::string()> &prepare,
                         const std::function<Failures()> &body)
{
    ChildResult result;
    int report[2], status_pipe[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return {false, "", with_errno("pipe2") + "\n", -1, "", ""};
    if (::pipe2(status_pipe, O_CLOEXEC) != 0) {
        ::close(report[0]);
        ::close(report[1]);
        return {false, "", with_errno("pipe2") + "\n", -1, "", ""};
    }
    const int out_fd = options.capture_output ? ::memfd_create("child-out", MFD_CLOEXEC) : -1;
    const int err_fd = options.capture_output ? ::memfd_create("child-err", MFD_CLOEXEC) : -1;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        ::close(status_pipe[0]);
        report_fd = report[1];
        if (options.capture_output)
            redirect_output(out_fd, err_fd);
        if (options.timeout_seconds > 0)
            ::alarm(options.timeout_seconds);
        enter_namespaces(options.namespaces);
        if ((options.namespaces & CLONE_NEWPID) != 0)
            run_as_init(status_pipe[1], prepare, body);
        ::close(status_pipe[1]);
        run_body(prepare, body);
    }
    ::close(report[1]);
    ::close(status_pipe[1]);
    const std::string report_text = pid > 0 ? read_all(report[0]) : "";
    const std::string status_text = pid > 0 ? read_all(status_pipe[0]) : "";
    ::close(report[0]);
    ::close(status_pipe[0]);
    if (pid < 0) {
        result.failures = with_errno("fork") + "\n";
    } else {
        ::waitpid(pid, &result.wait_status, 0);
        if (status_text.size() == sizeof result.wait_status)
            std::memcpy(&result.wait_status, status_text.data(), sizeof result.wait_status);
        const bool skipped =
            WIFEXITED(result.wait_status) && WEXITSTATUS(result.wait_status) == kSkipStatus;
        (skipped ? result.skip_reason : result.failures) = report_text;
        result.skipped = skipped;
    }
    if (options.capture_output) {
        result.out = read_from_start(out_fd);
        result.err = read_from_start(err_fd);
        ::close(out_fd);
        ::close(err_fd);
    }
    return result;
}

ChildResult run_in_child(const std::function<std::string()> &prepare,
                         const std::function<Failures()> &body)
{
    return run_in_child(ChildOptions{}, prepare, body);
}

void skip_child(const std::string &reason) { report_and_exit(with_errno(reason), kSkipStatus); }

void end_child(const Failures &failures, int status) { report_and_exit(failures, status); }

void check(Failures &failures, bool ok, const std::string &what)
{
    if (!ok)
        failures += what + "\n";
}

}  // namespace qn::test
