#include "sandbox.h"

#include "child.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

void append_line(const std::string &path, const std::string &line)
{
    std::ofstream(path, std::ios::app) << line << '\n';
}

// Each stub records its own command line; reboot waits (a little) for the
// backgrounded nohup before it so the record shows the order of requests.
std::string stub_script(const std::string &name, const std::string &log, const std::string &extra)
{
    std::string script = "#!/bin/sh\n" + extra + "\n";
    if (name == "reboot")
        script += "i=0; while ! grep -q '^nohup' " + log +
                  " && [ $i -lt 60 ]; do sleep 0.05; i=$((i+1)); done\n";
    script += "line=" + name + "; [ $# -gt 0 ] && line=\"$line $*\"\n";
    script += "echo \"$line\" >> " + log + "\n";
    return script;
}

bool bind_over(const std::string &source, const char *target)
{
    return mount(source.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
}

bool is_below(const std::string &path, const char *dir)
{
    return path.rfind(std::string(dir) + "/", 0) == 0;
}

// The programs under test live in the build tree, which may itself lie below
// /tmp or /opt (a checkout in /tmp). It is held open before those are
// covered and then mounted again at its own path.
struct HeldTree {
    std::string path;
    int fd = -1;  // -1: nothing to hold
};

HeldTree hold_build_tree()
{
    std::error_code error;
    HeldTree held{fs::canonical(BUILD_TREE, error).string()};
    if (!error && (is_below(held.path, "/tmp") || is_below(held.path, "/opt")))
        held.fd = open(held.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return held;
}

bool show_build_tree_again(const HeldTree &held)
{
    if (held.fd < 0)
        return true;
    std::error_code error;
    fs::create_directories(held.path, error);
    return !error && bind_over("/proc/self/fd/" + std::to_string(held.fd), held.path.c_str());
}

// As init of the namespace every orphan comes back to us; wait for them all.
bool reap_all(Clock::time_point deadline)
{
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

}  // namespace

Sandbox::Sandbox()
{
    chmod(root().c_str(), 0755);
    fs::create_directories(staging());
    fs::create_directories(install());
    fs::create_directories(root() + "/bin");
}

Sandbox::~Sandbox() = default;

void Sandbox::write_stubs(const RunOptions &options) const
{
    const std::string log = root() + "/log";
    write_file(log, "", 0666);
    chmod(log.c_str(), 0666);
    for (const char *name : {"killall", "mount", "nohup", "reboot"}) {
        std::string extra = std::string(name) == "killall" ? options.killall_extra : "";
        write_file(root() + "/bin/" + name, stub_script(name, log, extra), 0755);
    }
}

void Sandbox::exec_updater(const RunOptions &options) const
{
    umask(options.umask);
    for (const auto &[name, value] : options.environment)
        setenv(name.c_str(), value.c_str(), 1);
    // As under "ulimit -f": a write past the limit raises SIGXFSZ.
    if (options.file_size_limit > 0) {
        const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                           static_cast<rlim_t>(options.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.open_file_limit > 0) {
        const rlimit limit{static_cast<rlim_t>(options.open_file_limit),
                           static_cast<rlim_t>(options.open_file_limit)};
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.as_nobody &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
        _exit(126);
    setenv("PATH", (root() + "/bin:/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
    if (!options.fault.empty()) {
        setenv("QN_FAULT", options.fault.c_str(), 1);
        setenv("LD_PRELOAD", FAULT_INJECT_PATH, 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    if (options.capture_output) {
        const int out = open((root() + "/output").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(126);
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
void Sandbox::act_as_init(const RunOptions &options) const
{
    const std::string result = root() + "/result";
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        qn::test::skip_child("mount proc");
    const HeldTree build_tree = hold_build_tree();
    if (!bind_over(root() + "/tmp", "/tmp") || !bind_over(root() + "/opt", "/opt"))
        qn::test::skip_child("bind mount");
    if (!show_build_tree_again(build_tree))
        qn::test::skip_child("bind mount of the build tree");
    if (options.install_space > 0 && !limit_install_space(options.install_space))
        qn::test::skip_child("small tmpfs for the install root");
    if (!options.keys.empty() && !trust_keys(options.keys))
        qn::test::skip_child("overlay on /etc for the keys");
    const auto start = Clock::now();
    pid_t child = fork();
    if (child == 0)
        exec_updater(options);
    int status = -1;
    waitpid(child, &status, 0);
    const std::chrono::duration<double> took = Clock::now() - start;
    fs::copy_file(root() + "/log", root() + "/log-at-parent-exit",
                  fs::copy_options::overwrite_existing);
    append_line(result, "parent=" + std::to_string(status));
    append_line(result, "seconds=" + std::to_string(took.count()));
    append_line(result, std::string("ended=") + (reap_all(start + kDeadline) ? "1" : "0"));
    if (options.install_space > 0)
        keep_limited_install();
}

// The prepared install root moves onto a tmpfs of the given size for the
// run, and back afterwards for the checks.
bool Sandbox::limit_install_space(long bytes) const
{
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    std::error_code error;
    if (mount("tmpfs", "/opt/quarnel", "tmpfs", 0, options.c_str()) != 0)
        return false;
    fs::copy(root() + "/opt/quarnel", "/opt/quarnel",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    return !error;
}

// The keys folder is a fixed path below /etc: an overlay there, in this
// namespace only, shows the test's keys in it.
bool Sandbox::trust_keys(const std::string &keys) const
{
    // Its layers on a tmpfs: an overlay cannot have its upper layer on one.
    const std::string layers = root() + "/etc-layers";
    const std::string upper = layers + "/upper", work = layers + "/work";
    std::error_code error;
    fs::create_directories(layers, error);
    if (mount("tmpfs", layers.c_str(), "tmpfs", 0, "size=1m,mode=0755") != 0)
        return false;
    fs::create_directories(upper, error);
    fs::create_directories(work, error);
    const std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
    if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0)
        return false;
    fs::remove_all("/etc/updater/keys", error);
    fs::create_directories("/etc/updater", error);
    fs::copy(keys, "/etc/updater/keys", fs::copy_options::recursive, error);
    return !error;
}

void Sandbox::keep_limited_install() const
{
    std::error_code error;
    fs::remove_all(root() + "/opt/quarnel", error);
    fs::copy("/opt/quarnel", root() + "/opt/quarnel",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
}

RunResult Sandbox::run(const RunOptions &options)
{
    write_stubs(options);
    fs::remove(root() + "/result");
    fs::remove(root() + "/output");
    qn::test::ChildOptions isolated;
    isolated.namespaces = CLONE_NEWPID | CLONE_NEWNS;
    const qn::test::ChildResult init = qn::test::run_in_child(isolated, nullptr, [&] {
        act_as_init(options);
        return qn::test::Failures();
    });
    RunResult r = read_result();
    r.skipped = init.skipped;
    r.skip_reason = init.skip_reason;
    // reboot(2) in a PID namespace ends its init with SIGHUP.
    r.namespace_rebooted = WIFSIGNALED(init.wait_status) && WTERMSIG(init.wait_status) == SIGHUP;
    return r;
}

RunResult Sandbox::read_result() const
{
    RunResult r;
    std::istringstream lines(read_file(root() + "/result"));
    for (std::string line; std::getline(lines, line);) {
        const std::string key = line.substr(0, line.find('='));
        const std::string value = line.substr(key.size() + 1);
        if (key == "parent")
            r.parent_status = std::stoi(value);
        else if (key == "seconds")
            r.parent_seconds = std::stod(value);
        else if (key == "ended")
            r.all_ended = value == "1";
    }
    if (exists(root() + "/output"))
        r.output = read_file(root() + "/output");
    if (exists(root() + "/log-at-parent-exit"))
        r.log_at_parent_exit = read_file(root() + "/log-at-parent-exit");
    std::istringstream log(read_file(root() + "/log"));
    for (std::string line; std::getline(log, line);)
        r.commands.push_back(line);
    return r;
}
