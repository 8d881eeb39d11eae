#include "sandbox.h"

#include "child.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
constexpr auto kDeadline = std::chrono::seconds(20);

using Clock = std::chrono::steady_clock;

void appendLine(const std::string &path, const std::string &line) {
    std::ofstream(path, std::ios::app) << line << '\n';
}

// Each stub records its own command line; reboot waits (a little) for the
// backgrounded nohup before it so the record shows the order of requests.
std::string stubScript(const std::string &name, const std::string &log,
                       const std::string &extra) {
    std::string script = "#!/bin/sh\n" + extra + "\n";
    if (name == "reboot")
        script += "i=0; while ! grep -q '^nohup' " + log +
                  " && [ $i -lt 60 ]; do sleep 0.05; i=$((i+1)); done\n";
    script += "line=" + name + "; [ $# -gt 0 ] && line=\"$line $*\"\n";
    script += "echo \"$line\" >> " + log + "\n";
    return script;
}

bool bindOver(const std::string &source, const char *target) {
    return mount(source.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
}

bool isBelow(const std::string &path, const char *dir) {
    return path.rfind(std::string(dir) + "/", 0) == 0;
}

// The programs under test live in the build tree, which may itself lie below
// /tmp or /opt (a checkout in /tmp). It is held open before those are
// covered and then mounted again at its own path.
struct HeldTree {
    std::string path;
    int fd = -1;  // -1: nothing to hold
};

HeldTree holdBuildTree() {
    std::error_code error;
    HeldTree held{fs::canonical(BUILD_TREE, error).string()};
    if (!error && (isBelow(held.path, "/tmp") || isBelow(held.path, "/opt")))
        held.fd = open(held.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return held;
}

bool showBuildTreeAgain(const HeldTree &held) {
    if (held.fd < 0)
        return true;
    std::error_code error;
    fs::create_directories(held.path, error);
    return !error && bindOver("/proc/self/fd/" + std::to_string(held.fd), held.path.c_str());
}

// As init of the namespace every orphan comes back to us; wait for them all.
bool reapAll(Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno == ECHILD)
            return true;
        if (pid <= 0)
            usleep(10000);
    }
    return false;
}

} // namespace

Sandbox::Sandbox() {
    chmod(root().c_str(), 0755);
    fs::create_directories(staging());
    fs::create_directories(install());
    fs::create_directories(root() + "/bin");
}

Sandbox::~Sandbox() = default;

void Sandbox::writeStubs(const RunOptions &options) const {
    const std::string log = root() + "/log";
    write_file(log, "", 0666);
    chmod(log.c_str(), 0666);
    for (const char *name : {"killall", "mount", "nohup", "reboot"}) {
        std::string extra = std::string(name) == "killall" ? options.killallExtra : "";
        write_file(root() + "/bin/" + name, stubScript(name, log, extra), 0755);
    }
}

void Sandbox::execUpdater(const RunOptions &options) const {
    umask(022);
    // As under "ulimit -f": a write past the limit raises SIGXFSZ.
    if (options.fileSizeLimit > 0) {
        const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                           static_cast<rlim_t>(options.fileSizeLimit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.openFileLimit > 0) {
        const rlimit limit{static_cast<rlim_t>(options.openFileLimit),
                           static_cast<rlim_t>(options.openFileLimit)};
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.asNobody &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
        _exit(126);
    setenv("PATH", (root() + "/bin:/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
    if (!options.fault.empty()) {
        setenv("QN_FAULT", options.fault.c_str(), 1);
        setenv("LD_PRELOAD", FAULT_INJECT_PATH, 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    std::vector<char *> argv{const_cast<char *>("updater")};
    for (const std::string &argument : options.arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    execv(UPDATER_PATH, argv.data());
    _exit(127);
}

// Pid 1 of the namespace: mounts the scratch tree, starts the updater and
// waits until it and everything it started has ended.
void Sandbox::actAsInit(const RunOptions &options) const {
    const std::string result = root() + "/result";
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        qn::test::skip_child("mount proc");
    const HeldTree buildTree = holdBuildTree();
    if (!bindOver(root() + "/tmp", "/tmp") || !bindOver(root() + "/opt", "/opt"))
        qn::test::skip_child("bind mount");
    if (!showBuildTreeAgain(buildTree))
        qn::test::skip_child("bind mount of the build tree");
    if (options.installSpace > 0 && !limitInstallSpace(options.installSpace))
        qn::test::skip_child("small tmpfs for the install root");
    const auto start = Clock::now();
    pid_t child = fork();
    if (child == 0)
        execUpdater(options);
    int status = -1;
    waitpid(child, &status, 0);
    const std::chrono::duration<double> took = Clock::now() - start;
    fs::copy_file(root() + "/log", root() + "/log-at-parent-exit",
                  fs::copy_options::overwrite_existing);
    appendLine(result, "parent=" + std::to_string(status));
    appendLine(result, "seconds=" + std::to_string(took.count()));
    appendLine(result, std::string("ended=") + (reapAll(start + kDeadline) ? "1" : "0"));
    if (options.installSpace > 0)
        keepLimitedInstall();
}

// The prepared install root moves onto a tmpfs of the given size for the
// run, and back afterwards for the checks.
bool Sandbox::limitInstallSpace(long bytes) const {
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    std::error_code error;
    if (mount("tmpfs", "/opt/quarnel", "tmpfs", 0, options.c_str()) != 0)
        return false;
    fs::copy(root() + "/opt/quarnel", "/opt/quarnel",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    return !error;
}

void Sandbox::keepLimitedInstall() const {
    std::error_code error;
    fs::remove_all(root() + "/opt/quarnel", error);
    fs::copy("/opt/quarnel", root() + "/opt/quarnel",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
}

RunResult Sandbox::run(const RunOptions &options) {
    writeStubs(options);
    fs::remove(root() + "/result");
    qn::test::ChildOptions isolated;
    isolated.namespaces = CLONE_NEWPID | CLONE_NEWNS;
    const qn::test::ChildResult init = qn::test::run_in_child(isolated, nullptr, [&] {
        actAsInit(options);
        return qn::test::Failures();
    });
    RunResult r = readResult();
    r.skipped = init.skipped;
    r.skipReason = init.skip_reason;
    // reboot(2) in a PID namespace ends its init with SIGHUP.
    r.namespaceRebooted = WIFSIGNALED(init.wait_status) && WTERMSIG(init.wait_status) == SIGHUP;
    return r;
}

RunResult Sandbox::readResult() const {
    RunResult r;
    std::istringstream lines(read_file(root() + "/result"));
    for (std::string line; std::getline(lines, line);) {
        const std::string key = line.substr(0, line.find('='));
        const std::string value = line.substr(key.size() + 1);
        if (key == "parent")
            r.parentStatus = std::stoi(value);
        else if (key == "seconds")
            r.parentSeconds = std::stod(value);
        else if (key == "ended")
            r.allEnded = value == "1";
    }
    if (exists(root() + "/log-at-parent-exit"))
        r.logAtParentExit = read_file(root() + "/log-at-parent-exit");
    std::istringstream log(read_file(root() + "/log"));
    for (std::string line; std::getline(log, line);)
        r.commands.push_back(line);
    return r;
}
