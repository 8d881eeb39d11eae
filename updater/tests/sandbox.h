// Runs the real updater where it can do no harm: a private PID and mount
// namespace in which /tmp and /opt are folders of a scratch tree and the
// commands it starts are recording stubs.
#ifndef QN_UPDATER_TESTS_SANDBOX_H
#define QN_UPDATER_TESTS_SANDBOX_H

#include "scratch.h"

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

private:
    void write_stubs(const RunOptions &options) const;
    bool limit_install_space(long bytes) const;
    bool trust_keys(const std::string &keys) const;
    void keep_limited_install() const;
    void act_as_init(const RunOptions &options) const;
    [[noreturn]] void exec_updater(const RunOptions &options) const;
    RunResult read_result() const;

    // /tmp and /opt are covered inside the namespace: the tree lives elsewhere.
    qn::test::ScratchDir scratch_{"updater-sandbox", "/var/tmp"};
};

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
