#include "isolated_child.h"

#include "../src/phy_seam.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace boardleds::testing {
namespace {

std::string error_text(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

void write_all(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

std::string read_all(int fd)
{
    std::string text;
    char chunk[512];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

[[noreturn]] void child_main(int report_fd, const std::function<std::string()> &prepare,
                             const std::function<Failures()> &body)
{
    std::string report(1, 'R');
    try {
        const std::string skip = prepare();
        if (skip.empty())
            report.append(body());
        else
            report.assign(1, 'S').append(skip);
    } catch (const std::exception &e) {
        report.assign("Rexception: ").append(e.what());
    }
    write_all(report_fd, report);
    ::_exit(0);
}

} // namespace

ChildResult run_in_child(const std::function<std::string()> &prepare,
                         const std::function<Failures()> &body)
{
    ChildResult result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return {false, error_text("pipe2"), 0};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return {false, error_text("fork"), 0};
    }
    if (pid == 0) {
        ::close(fds[0]);
        child_main(fds[1], prepare, body);
    }
    ::close(fds[1]);
    const std::string report = read_all(fds[0]);
    ::close(fds[0]);
    ::waitpid(pid, &result.wait_status, 0);
    if (report.empty())
        return {false, "child reported nothing", result.wait_status};
    result.skipped = report[0] == 'S';
    result.text = report.substr(1);
    return result;
}

std::string enter_private_sys()
{
    if (::unshare(CLONE_NEWNS) != 0)
        return error_text("unshare(CLONE_NEWNS)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return error_text("making / private");
    if (::mount("none", "/sys", "tmpfs", 0, "size=1m") != 0)
        return error_text("tmpfs over /sys");
    return "";
}

// A user-mode emulator (qemu-arm for cross builds) may not pass the MII
// requests on to the kernel; it answers ENOSYS for the loopback device,
// which the kernel itself refuses with EOPNOTSUPP.
static bool mii_requests_reach_kernel()
{
    const int sd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    const bool reached = ::ioctl(sd, SIOCGMIIREG, &request) == 0 || errno != ENOSYS;
    ::close(sd);
    return reached;
}

std::string enter_private_net()
{
    if (::unshare(CLONE_NEWNET) != 0)
        return error_text("unshare(CLONE_NEWNET)");
    if (!mii_requests_reach_kernel())
        return "MII requests do not reach the kernel (user-mode emulator)";
    // A socket inherited from the test process belongs to the real network.
    seam::use_system_calls();
    seam::forget_socket();
    return "";
}

std::string capture_stderr(const std::function<void()> &fn)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return error_text("pipe2");
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
    fn();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::string text = read_all(fds[0]);
    ::close(fds[0]);
    return text;
}

void check(Failures &failures, bool ok, const std::string &what)
{
    if (!ok)
        failures += what + "\n";
}

} // namespace boardleds::testing
