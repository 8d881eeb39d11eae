#include "sandbox.h"

#include "child.h"

#include <algorithm>
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
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
constexpr auto kDeadline = std::chrono::seconds(20);
constexpr const char *kStubs[] = {"killall", "mount", "nohup", "reboot"};

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
    for (const char *name : kStubs) {
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

// What could not be mounted; "" when /tmp and /opt are the scratch tree's.
std::string Sandbox::cover_tmp_and_opt() const
{
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        return "mount proc";
    const HeldTree build_tree = hold_build_tree();
    if (!bind_over(root() + "/tmp", "/tmp") || !bind_over(root() + "/opt", "/opt"))
        return "bind mount";
    if (!show_build_tree_again(build_tree))
        return "bind mount of the build tree";
    return "";
}

// Pid 1 of the namespace: mounts the scratch tree, starts the updater and
// waits until it and everything it started has ended.
void Sandbox::act_as_init(const RunOptions &options) const
{
    const std::string result = root() + "/result";
    if (const std::string failed = cover_tmp_and_opt(); !failed.empty())
        qn::test::skip_child(failed);
    if (options.install_space > 0 && !limit_install_space(options.install_space))
        qn::test::skip_child("small tmpfs for the install root");
    if ((!options.keys.empty() || options.confirm_boots > 0) && !configure_etc(options))
        qn::test::skip_child("overlay on /etc for the updater's configuration");
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

// The keys folder and confirm-boots are fixed paths below /etc: an overlay
// there, in this namespace only, shows the test's in their place.
bool Sandbox::configure_etc(const RunOptions &options) const
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
    const std::string overlay = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
    if (mount("overlay", "/etc", "overlay", 0, overlay.c_str()) != 0)
        return false;
    fs::remove_all("/etc/updater", error);
    fs::create_directories("/etc/updater", error);
    if (!options.keys.empty())
        fs::copy(options.keys, "/etc/updater/keys", fs::copy_options::recursive, error);
    if (options.confirm_boots > 0 &&
        write_file("/etc/updater/confirm-boots", std::to_string(options.confirm_boots) + "\n")
            .empty())
        return false;
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

qn::test::ChildResult Sandbox::inside(const std::function<qn::test::Failures()> &body) const
{
    const std::string stubs = root() + "/quick-bin";
    fs::create_directories(stubs);
    for (const char *name : kStubs) {
        std::error_code exists_already;
        fs::create_symlink("/bin/true", stubs + "/" + name, exists_already);
    }
    qn::test::ChildOptions isolated;
    isolated.namespaces = CLONE_NEWPID | CLONE_NEWNS;
    return qn::test::run_in_child(
        isolated,
        [this]() -> std::string {
            // Flushes of a tmpfs wait for no disk.
            if (mount("tmpfs", (root() + "/opt").c_str(), "tmpfs", 0, "mode=0755") != 0)
                return "tmpfs for /opt";
            return cover_tmp_and_opt();
        },
        body);
}

std::vector<int> Sandbox::start_together(const std::vector<Launch> &launches) const
{
    // What the runs leave running comes back here, to be waited for.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<pid_t> started;
    const Launch *traced_update = nullptr;
    for (const Launch &launch : launches) {
        const pid_t pid = fork();
        if (pid == 0)
            exec_launch(launch);
        started.push_back(pid);
        if (launch.arguments.empty() && !launch.strace.empty())
            traced_update = &launch;
    }
    std::vector<int> statuses(launches.size(), -1);
    int held = -1;
    const auto deadline = Clock::now() + kDeadline;
    for (;;) {
        int status;
        const pid_t pid = waitpid(-1, &status, WNOHANG | WUNTRACED);
        if (pid < 0 && errno == ECHILD)
            break;
        if (pid == 0 && Clock::now() > deadline) {
            if (getpid() != 1)
                break;
            kill(-1, SIGKILL);  // everything in this namespace but us
        }
        if (pid <= 0) {
            usleep(500);
        } else if (WIFSTOPPED(status)) {
            // An update's detached child waits for its tracer.
            if (traced_update)
                attach_strace(pid, traced_update->strace, held);
            kill(pid, SIGCONT);
        } else {
            const auto at = std::find(started.begin(), started.end(), pid);
            if (at != started.end())
                statuses[static_cast<size_t>(at - started.begin())] = status;
        }
    }
    if (held >= 0)
        close(held);
    return statuses;
}

// Returns once strace holds the process (it says so on its error output,
// kept open in held until the end of the run).
void Sandbox::attach_strace(pid_t pid, const std::vector<std::string> &options, int &held) const
{
    int said[2];
    if (pipe2(said, O_CLOEXEC) != 0)
        return;
    const pid_t tracer = fork();
    if (tracer == 0) {
        dup2(said[1], STDERR_FILENO);
        std::vector<std::string> words{"strace"};
        words.insert(words.end(), options.begin(), options.end());
        words.insert(words.end(), {"-p", std::to_string(pid)});
        std::vector<char *> argv;
        for (std::string &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execv(kStracePath, argv.data());
        _exit(127);
    }
    close(said[1]);
    std::string text;
    char buffer[256];
    ssize_t n;
    while (text.find(" attached") == std::string::npos &&
           (n = read(said[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    if (held >= 0)
        close(held);
    held = said[0];
}

void Sandbox::exec_launch(const Launch &launch) const
{
    usleep(launch.delay_ms * 1000);
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
        dup2(null, fd);
    umask(022);
    setenv("PATH", (root() + "/quick-bin:/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
    // The flush of the whole machine at the end of an update would wait for
    // every other disk writer on it, for nothing the runs here rely on.
    setenv("QN_NO_SYNC", "1", 1);
    setenv("LD_PRELOAD", FAULT_INJECT_PATH, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    std::vector<std::string> words;
    const bool through_strace = !launch.strace.empty() && !launch.arguments.empty();
    if (!launch.strace.empty() && launch.arguments.empty()) {
        setenv("QN_FAULT", "stop-after-fork", 1);
    } else if (through_strace) {
        words.push_back("strace");
        words.insert(words.end(), launch.strace.begin(), launch.strace.end());
        words.push_back("--");
    }
    words.push_back(UPDATER_PATH);
    words.insert(words.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(through_strace ? kStracePath : UPDATER_PATH, argv.data());
    _exit(127);
}

namespace {

std::string digest(const std::string &content)
{
    if (content.size() <= 32)
        return content;
    return std::to_string(content.size()) + " bytes #" +
           std::to_string(std::hash<std::string>{}(content));
}

}  // namespace

TreeState tree_state(const std::string &root, const std::vector<std::string> &paths)
{
    TreeState state;
    std::map<std::pair<dev_t, ino_t>, std::string> first_name;
    for (const std::string &path : paths) {
        const std::string full = root + "/" + path;
        struct stat st;
        std::string &word = state[path] = "-";
        if (lstat(full.c_str(), &st) != 0)
            continue;
        char bits[8];
        snprintf(bits, sizeof bits, "%04o", st.st_mode & 07777);
        if (S_ISDIR(st.st_mode)) {
            word = std::string("d") + bits;
        } else if (S_ISREG(st.st_mode)) {
            word = std::string("f") + bits + ":" + digest(read_file(full));
            const auto [first, fresh] = first_name.emplace(std::pair(st.st_dev, st.st_ino), path);
            if (!fresh)
                word += " =" + first->second;
        } else if (S_ISLNK(st.st_mode)) {
            std::error_code error;
            word = "l:" + fs::read_symlink(full, error).string();
        } else {
            word = "other";
        }
    }
    return state;
}

std::string first_difference(const TreeState &seen, const TreeState &wanted)
{
    for (const auto &[path, word] : wanted) {
        const auto found = seen.find(path);
        const std::string got = found == seen.end() ? "-" : found->second;
        if (got != word)
            return path + ": " + got + " (wanted " + word + ")";
    }
    return "";
}

std::vector<std::string> litter_in(const std::string &install)
{
    std::vector<std::string> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(install, error), end; !error && it != end;
         it.increment(error))
        if (it->path().filename().string().rfind(".updater-", 0) == 0)
            found.push_back(fs::relative(it->path(), install).string());
    for (const char *name : {"journal", "journal-new", "result-new", "data", "previous-new"})
        if (exists(install + "/.updater/" + name))
            found.push_back(std::string(".updater/") + name);
    return found;
}

namespace {

std::string content_of(const std::string &text)
{
    if (text.empty() || text[0] != '@')
        return text;
    std::string data(40 << 10, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 + text[1] * (i >> 10));
    return data;
}

}  // namespace

void build_tree(const std::string &root, std::span<const TreeEntry> table,
                const char *TreeEntry::*column)
{
    fs::remove_all(root);
    fs::create_directories(root);
    chmod(root.c_str(), 0755);
    for (const TreeEntry &entry : table) {
        const std::string shape = entry.*column, path = root + "/" + entry.path;
        const bool moded = shape.size() > 4 && (shape[0] == 'd' || shape[0] == 'f');
        const mode_t mode = moded ? std::stoul(shape.substr(1, 4), nullptr, 8) : 0;
        if (shape.rfind("d", 0) == 0)
            mkdir(path.c_str(), mode);
        else if (shape.rfind("f", 0) == 0)
            write_file(path, content_of(shape.substr(6)), mode);
        else if (shape.rfind("l:", 0) == 0)
            fs::create_symlink(shape.substr(2), path);
        else if (shape.rfind("h:", 0) == 0)
            fs::create_hard_link(root + "/" + shape.substr(2), path);
    }
}

std::vector<std::string> paths_of(std::span<const TreeEntry> table)
{
    std::vector<std::string> paths;
    for (const TreeEntry &entry : table)
        paths.push_back(entry.path);
    return paths;
}
