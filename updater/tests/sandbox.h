// Runs the real updater where it can do no harm: a private PID and mount
// namespace in which /tmp and /opt are folders of a scratch tree and the
// commands it starts are recording stubs.
#ifndef QN_UPDATER_TESTS_SANDBOX_H
#define QN_UPDATER_TESTS_SANDBOX_H

#include "child.h"
#include "scratch.h"

#include <functional>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <sys/types.h>
#include <vector>

struct RunOptions {
    std::string killall_extra;    // shell lines the killall stub runs first
    bool as_nobody = false;       // run the updater without root rights
    std::string fault;            // "trap-listing": its directory listing faults;
                                  // "kill-at-flush": it is killed when it flushes
    long file_size_limit = 0;     // bytes a file may grow to (0: no limit)
    long open_file_limit = 0;     // descriptors it may hold (0: as inherited)
    long install_space = 0;       // bytes: the install root is a tmpfs this small
    mode_t umask = 022;           // the file-creation mask it inherits
    std::string keys;             // folder of the keys the board trusts ("": none)
    int confirm_boots = 0;        // what /etc/updater/confirm-boots holds (0: no such file)
    bool capture_output = false;  // standard output and error go to RunResult::output
    std::vector<std::string> arguments;
    std::vector<std::pair<std::string, std::string>> environment;
};

struct RunResult {
    bool skipped = false;
    std::string skip_reason;
    int parent_status = -1;           // wait status of the started process
    double parent_seconds = 0;        // time until it returned
    std::string log_at_parent_exit;   // commands recorded by then
    bool all_ended = false;           // every process ended before the deadline
    bool namespace_rebooted = false;  // ended by reboot(2) inside the namespace
    std::vector<std::string> commands;
    std::string output;
};

inline constexpr const char *kStracePath = "/usr/bin/strace";

// One updater started by Sandbox::start_together().
struct Launch {
    std::vector<std::string> arguments;
    // Options of strace (injections, output): a --recover is traced from its
    // start, an update from the fork on, in its detached child alone.
    std::vector<std::string> strace;
    unsigned delay_ms = 0;  // started this much later than the others
};

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    const std::string &root() const { return scratch_.path(); }
    std::string staging() const { return root() + "/tmp/build"; }
    std::string install() const { return root() + "/opt/quarnel"; }

    RunResult run(const RunOptions &options = {});

    // Runs body as process 1 of a private PID and mount namespace that is
    // set up as for run(), for many runs through start_together(). There
    // /opt (and so install()) is a tmpfs, the commands the updater starts are stubs that return
    // at once, and its sync() of the whole machine is left out.
    qn::test::ChildResult inside(const std::function<qn::test::Failures()> &body) const;

    // In inside(): starts the updaters and waits until everything they
    // started has ended (what still runs after 20 s is killed). The wait
    // status of each, -1 if it was not seen to end. A fault that makes the
    // updater reboot ends the namespace and with it the body.
    std::vector<int> start_together(const std::vector<Launch> &launches) const;
    int start(const Launch &launch) const { return start_together({launch})[0]; }

private:
    std::string cover_tmp_and_opt() const;
    [[noreturn]] void exec_launch(const Launch &launch) const;
    void attach_strace(pid_t pid, const std::vector<std::string> &options, int &held) const;
    void write_stubs(const RunOptions &options) const;
    bool limit_install_space(long bytes) const;
    bool configure_etc(const RunOptions &options) const;
    void keep_limited_install() const;
    void act_as_init(const RunOptions &options) const;
    [[noreturn]] void exec_updater(const RunOptions &options) const;
    RunResult read_result() const;

    // /tmp and /opt are covered inside the namespace: the tree lives elsewhere.
    qn::test::ScratchDir scratch_{"updater-sandbox", "/var/tmp"};
};

// size bytes of a pattern that repeats nowhere near a page.
inline std::string patterned(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131) ^ (i >> 9));
    return data;
}

// What an update may change of each path below root, one word per path:
// type, permission bits, content (a file's, a link's target), and the first
// earlier path that shares its inode; "-" when missing.
using TreeState = std::map<std::string, std::string>;

// One path of a tree laid out from a table: as installed before an update,
// as staged, and as installed after it. "d0755" a folder; "f0640:text" a
// file (text "@1", "@2": 40 KiB of pattern); "l:name" a link; "h:path" a hard
// link of an earlier entry; "" missing.
struct TreeEntry {
    const char *path, *before, *staged, *after;
};

// Makes root afresh (0755) holding the table's column.
void build_tree(const std::string &root, std::span<const TreeEntry> table,
                const char *TreeEntry::*column);
std::vector<std::string> paths_of(std::span<const TreeEntry> table);

TreeState tree_state(const std::string &root, const std::vector<std::string> &paths);

// The first path whose state differs, with both words; "" when equal.
std::string first_difference(const TreeState &seen, const TreeState &wanted);

// What an update must not leave in the install root: names starting with
// ".updater-" at any depth, and the journal, its data and half-written
// records in ".updater".
std::vector<std::string> litter_in(const std::string &install);

using qn::test::exists;
using qn::test::files_named;
using qn::test::inode_of;
using qn::test::permissions_of;
using qn::test::read_file;
using qn::test::write_file;

// Skips the test when the namespace could not be made.
#define RUN_OR_SKIP(sandbox, result, ...)          \
    RunResult result = (sandbox).run(__VA_ARGS__); \
    if (result.skipped)                            \
    GTEST_SKIP() << result.skip_reason

#endif
