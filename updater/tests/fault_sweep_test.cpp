// Faults at every system call of an update, of a recovery and of a
// rollback, and updates started together. Each must leave the install root
// entirely at the old or at the new version, nothing behind it, a true
// result line and a recovery that exits 0; clean updates (or rollbacks)
// from there reach the new (or old) version.
//
// Faults are injected by strace, one call at a time, counted per system
// call in the process that does the work: an update's detached child from
// its fork on, or a --recover or --rollback from its start. Only calls on
// files and descriptors are swept, and each fault where it can happen: EIO
// where I/O is done, EMFILE where a descriptor is made, ENOSPC where the
// tree grows or is flushed, SIGKILL before each call that changes the tree.
// With the tree below that is 703 points in an update (of its 513 calls),
// 140 in a recovery (of 95) and 286 in a rollback of the update (of 175),
// each followed by a clean recovery, then in an update a clean update and a
// rollback that must reach the old version (unless the run said it could
// not keep it), in a rollback a clean rollback; about 80 s in all (60, 6
// and 11 s). Under the sanitizers every 7th call is swept.

#include "sandbox.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using qn::test::Failures;

namespace {

const TreeEntry kTree[] = {
    {"etc", "d0755", "d0755", "d0755"},
    {"etc/app.conf", "f0640:conf 1", "f0644:conf 2", "f0640:conf 2"},
    {"etc/default.conf", "", "l:app.conf", "f0644:conf 2"},
    {"etc/extra.conf", "", "f0600:extra", "f0600:extra"},
    {"etc/shared.conf", "f0644:shared 1", "f0644:shared 2", "f0644:shared 2"},
    {"www", "d0755", "d0755", "d0755"},
    {"www/shared.conf", "f0644:shared 1", "h:etc/shared.conf", "h:etc/shared.conf"},
    {"bin", "d0755", "d0755", "d0755"},
    {"bin/tool", "f0755:tool 1", "f0755:tool 2", "f0755:tool 2"},
    {"lib", "d0755", "d0755", "d0755"},
    {"lib/libdata.so", "f0644:@1", "f0644:@2", "f0644:@2"},
    {"share", "d0755", "d0755", "d0755"},
    {"share/readme", "f0644:same", "f0644:same", "f0644:same"},
    {"share/doc", "", "d0755", "d0755"},
    {"share/doc/guide", "", "d0755", "d0755"},
    {"share/doc/guide/index.html", "", "f0644:guide", "f0644:guide"},
    {"plugins", "", "d0755", "d0755"},
    {"plugins/a.so", "", "f0755:a", "f0755:a"},
    {"plugins/sub", "", "d0755", "d0755"},
    {"plugins/sub/c.dat", "", "f0644:c", "f0644:c"},
    {"var", "d0755", "", "d0755"},
    {"var/local.db", "f0600:local", "", "f0600:local"},
};

const Launch kRecover{{"--recover"}, {}};
const Launch kRollback{{"--rollback"}, {}};

// A killed run may leave the line of the run before.
const std::string kPreviousLine = "refused: no staging tree";

// The n-th call of a system call in the traced process, as strace showed it.
struct Call {
    std::string name;
    int n;
    std::string line;
    bool closes_written = false;  // a close of a descriptor opened for writing
};

bool named(const Call &call, std::initializer_list<const char *> names)
{
    return std::find(names.begin(), names.end(), call.name) != names.end();
}

// Closing a descriptor only read from reports no I/O error.
bool does_io(const Call &call) { return call.name != "close" || call.closes_written; }

// A kill before any other call leaves the tree as one before the next of these.
bool changes_tree(const Call &call)
{
    return named(call,
                 {"write",     "pwrite64",  "writev", "copy_file_range", "sendfile", "ftruncate",
                  "fallocate", "mkdirat",   "mkdir",  "unlinkat",        "unlink",   "rmdir",
                  "renameat",  "renameat2", "rename", "linkat",          "link",     "symlinkat",
                  "fchmod",    "fchmodat",  "fchown", "fchownat",        "utimensat"}) ||
           (call.name.rfind("open", 0) == 0 && (call.line.find("O_CREAT") != std::string::npos ||
                                                call.line.find("O_TRUNC") != std::string::npos));
}

bool makes_descriptor(const Call &call)
{
    return named(call,
                 {"open", "openat", "openat2", "dup", "dup2", "dup3", "pipe2", "memfd_create"}) ||
           (call.name == "fcntl" && call.line.find("F_DUPFD") != std::string::npos);
}

bool takes_space(const Call &call)
{
    return changes_tree(call) || named(call, {"fsync", "fdatasync", "syncfs"});
}

// Each where it can happen.
struct Fault {
    const char *name;
    const char *inject;
    bool (*applies)(const Call &);
};

const Fault kFaults[] = {{"SIGKILL", "signal=KILL", changes_tree},
                         {"EIO", "error=EIO", does_io},
                         {"EMFILE", "error=EMFILE", makes_descriptor},
                         {"ENOSPC", "error=ENOSPC", takes_space}};

// Calls on files and descriptors, but for mapping memory and starting the
// program: those are none of the tree's business.
std::vector<Call> calls_in(const std::string &log)
{
    std::vector<Call> calls;
    std::map<std::string, int> seen;
    std::set<std::string> written;  // descriptors, as strace shows them
    // The sanitizers probe memory by writing it to a pipe of their own: not
    // the program's calls, though counted with them.
    std::set<std::string> pipes;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const std::string name = line.substr(0, line.find('('));
        if (name.size() == line.size() || name.empty() || name.rfind("mmap", 0) == 0 ||
            name == "execve" ||
            name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
            continue;
        const size_t result = line.rfind("= ") + 2;
        const std::string fd = line.substr(result, line.find(' ', result) - result);
        const std::string argument = line.substr(name.size() + 1, line.find(')') - name.size() - 1);
        const int n = ++seen[name];
        if (name == "pipe2" || name == "pipe") {
            std::istringstream ends(line.substr(line.find('[') + 1));
            std::string read_end, write_end;
            std::getline(ends, read_end, ',');
            std::getline(ends >> std::ws, write_end, ']');
            pipes.insert({read_end, write_end});
            continue;
        }
        const std::string first = argument.substr(0, argument.find(','));
        if (pipes.count(first)) {
            if (name == "close")
                pipes.erase(first);
            continue;
        }
        if (name.rfind("open", 0) == 0 &&
            (line.find("O_WRONLY") != std::string::npos || line.find("O_RDWR") != std::string::npos))
            written.insert(fd);
        calls.push_back({name, n, line, name == "close" && written.erase(argument) > 0});
    }
    return calls;
}

std::vector<std::string> injecting(const Call &call, const char *inject, const std::string &log)
{
    return {"-o", log,
            "-e", "trace=" + call.name,
            "-e", "inject=" + call.name + ":" + inject + ":when=" + std::to_string(call.n)};
}

std::vector<std::string> tracing_to(const std::string &log)
{
    return {"-o", log, "-e", "trace=%file,%desc"};
}

bool exited_zero(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

std::string joined(const std::vector<std::string> &words)
{
    std::string text;
    for (const std::string &word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

// Failed checks counted by kind, failed points by group (the fault), with
// the first few failures in full.
class Tally {
public:
    void begin(const std::string &group)
    {
        group_ = group;
        ++points_[group];
        failed_now_ = false;
    }
    void add(const std::string &at, const std::string &what, const std::string &detail)
    {
        ++kinds_[what];
        failed_[group_] += !failed_now_;
        failed_now_ = true;
        if (examples_.size() < 15)
            examples_.push_back(at + ": " + what + " (" + detail + ")");
    }
    Failures report() const
    {
        if (kinds_.empty())
            return "";
        Failures text = "failed:";
        for (const auto &[group, points] : points_)
            text += " " + group + " " + std::to_string(failed_.count(group) ? failed_.at(group) : 0) +
                    " of " + std::to_string(points) + ";";
        text += "\n";
        for (const auto &[what, count] : kinds_)
            text += "  " + std::to_string(count) + " " + what + "\n";
        for (const std::string &example : examples_)
            text += "  e.g. " + example + "\n";
        return text;
    }

private:
    std::string group_;
    bool failed_now_ = false;
    std::map<std::string, int> points_, failed_, kinds_;
    std::vector<std::string> examples_;
};

class AllOrNothing : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::getenv("QN_TARGET_EMULATOR"))
            GTEST_SKIP() << "strace cannot trace a program under a user-mode emulator, and the "
                            "hundreds of runs would take too long there";
        build_tree(box_.root() + "/old", kTree, &TreeEntry::before);
        build_tree(box_.root() + "/new", kTree, &TreeEntry::after);
        build_tree(box_.staging(), kTree, &TreeEntry::staged);
        paths_ = paths_of(kTree);
        old_ = tree_state(box_.root() + "/old", paths_);
        new_ = tree_state(box_.root() + "/new", paths_);
    }

    // The install root back at the old version, after an earlier run.
    void reset() const
    {
        build_tree(box_.install(), kTree, &TreeEntry::before);
        mkdir((box_.install() + "/.updater").c_str(), 0700);
        write_file(box_.install() + "/.updater/result", kPreviousLine + "\n");
    }

    // "old", "new", or where the tree is mixed.
    std::string version() const
    {
        const TreeState seen = tree_state(box_.install(), paths_);
        if (seen == old_ || seen == new_)
            return seen == old_ ? "old" : "new";
        return "mixed, " + first_difference(seen, new_);
    }

    std::string result_line() const
    {
        std::string text = read_file(box_.install() + "/.updater/result");
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }

    // Why the line is not true of the tree; "" when it is. A run that could
    // not write its line may remove the one before: no line claims nothing.
    // A refusal leaves the version the run started from.
    static std::string untrue(const std::string &line, const std::string &version,
                              const std::string &start = "old")
    {
        if (line.empty())
            return "";
        if (line.rfind("installed: ", 0) == 0 || line == "nothing to do")
            return version == "new" ? "" : "success reported over a tree not new";
        if (line.rfind("rolled back: ", 0) == 0)
            return version == "old" ? "" : "rollback reported over a tree not old";
        if (line.rfind("refused: ", 0) == 0)
            return version == start ? "" : "refusal reported over a changed tree";
        if (line.rfind("incomplete: ", 0) == 0)
            return "";
        return "result line of another kind";
    }

    void expect_no_litter(const std::string &when, Tally &tally, const std::string &at) const
    {
        const std::vector<std::string> litter = litter_in(box_.install());
        if (!litter.empty())
            tally.add(at, "litter after " + when, joined(litter));
    }

    // A clean update from here reaches the new version; over a tree already
    // new it has nothing to do. (An identical re-run after an update from the
    // old version is checked once, on the clean traced run.)
    void expect_convergence(Tally &tally, const std::string &at) const
    {
        const std::string before = version();
        box_.start({});
        const std::string line = result_line(), now = version();
        if (now != "new")
            tally.add(at, "a clean update did not reach the new version", line + "; " + now);
        else if (before == "new" && line != "nothing to do")
            tally.add(at, "a clean update over the new version did something", line);
        else if (!untrue(line, now).empty())
            tally.add(at, "a clean update reported wrongly", line);
    }

    // After a faulted update: its result line, a clean recovery, convergence.
    void expect_all_or_nothing(bool killed, Tally &tally, const std::string &at) const
    {
        const std::string line = result_line(), after_run = version();
        if (const std::string why = untrue(line, after_run);
            !why.empty() && !(killed && line == kPreviousLine))
            tally.add(at, why, line + "; " + after_run);
        const int status = box_.start(kRecover);
        const std::string recovered = version();
        if (!exited_zero(status))
            tally.add(at, "--recover did not exit 0",
                      "status " + std::to_string(status) + "; " + recovered);
        if (recovered != "old" && recovered != "new")
            tally.add(at, "mixed after --recover", recovered);
        else if (line.rfind("incomplete: ", 0) == 0 && recovered != "new")
            tally.add(at, "--recover did not finish an incomplete update", recovered);
        expect_no_litter("--recover", tally, at);
        expect_convergence(tally, at);
        // Whichever run installed the new version, the release kept beside
        // it is the old one, whole; a run that could not keep it says so.
        const bool kept = line.find("; the previous release is not kept: ") == std::string::npos;
        if (version() == "new" && exited_zero(box_.start(kRollback)) != kept)
            tally.add(at,
                      kept ? "a --rollback did not take the update back"
                           : "a --rollback took back a release said not kept",
                      result_line() + "; " + version());
        if (version() != (kept ? "old" : "new"))
            tally.add(at, "a --rollback after the clean update left the tree " + version(), line);
    }

    // The rename after the journal's commit (its last rename to "journal").
    static Call first_rename_after_commit(const std::vector<Call> &calls)
    {
        Call found{"", 0, ""};
        bool committed = false;
        for (const Call &call : calls) {
            if (call.name.rfind("rename", 0) != 0)
                continue;
            if (call.line.find("\"journal\")") != std::string::npos) {
                committed = true;
                found = {"", 0, ""};
            } else if (committed && found.name.empty()) {
                found = call;
            }
        }
        return found;
    }

    // run_and_check(strace options, fault, tally, where) at every call, for
    // each fault that can happen there.
    template <class Check>
    Failures sweep(const std::vector<Call> &calls, Check run_and_check) const
    {
#ifdef __SANITIZE_ADDRESS__
        const size_t stride = 7;  // a sample: every run is several times slower there
#else
        const size_t stride = 1;
#endif
        const std::string log = box_.root() + "/opt/point";
        Tally tally;
        for (size_t i = 0; i < calls.size(); i += stride)
            for (const Fault &fault : kFaults) {
                if (!fault.applies(calls[i]))
                    continue;
                const std::string at = std::string(fault.name) + " at " + calls[i].line;
                tally.begin(fault.name);
                run_and_check(injecting(calls[i], fault.inject, log), fault, tally, at);
                const std::string trace = read_file(log);
                if (trace.find("(INJECTED)") == std::string::npos &&
                    trace.find("killed by SIGKILL") == std::string::npos)
                    tally.add(at, "fault not injected", "the calls differ from the clean run's");
            }
        return tally.report();
    }

    bool have_strace() const { return access(kStracePath, X_OK) == 0; }

    // The calls of a clean update from the old version, or of a --recover.
    std::vector<Call> traced(const std::vector<std::string> &arguments) const
    {
        const std::string log = box_.root() + "/opt/trace";
        box_.start({arguments, tracing_to(log)});
        const std::vector<Call> calls = calls_in(read_file(log));
        if (calls.empty())
            qn::test::skip_child("strace traced nothing here");
        return calls;
    }

    Sandbox box_;
    std::vector<std::string> paths_;
    TreeState old_, new_;
};

TEST_F(AllOrNothing, UnderAFaultAtEveryCallOfAnUpdate)
{
    if (!have_strace())
        GTEST_SKIP() << "no strace";
    EXPECT_CHILD_PASSED(box_.inside([&] {
        reset();
        const std::vector<Call> calls = traced({});
        if (version() != "new")
            return "the clean traced update did not install: " + version() + "\n";
        Tally clean;
        clean.begin("clean update");
        expect_all_or_nothing(false, clean, "clean");
        if (const Failures failed = clean.report(); !failed.empty())
            return failed;
        return sweep(calls, [&](const std::vector<std::string> &strace, const Fault &fault,
                                Tally &tally, const std::string &at) {
            reset();
            box_.start({{}, strace});
            expect_all_or_nothing(std::string(fault.name) == "SIGKILL", tally, at);
        });
    }));
}

TEST_F(AllOrNothing, UnderAFaultAtEveryCallOfARecoveryAfterTheCommit)
{
    if (!have_strace())
        GTEST_SKIP() << "no strace";
    EXPECT_CHILD_PASSED(box_.inside([&] {
        reset();
        const Call kill_at = first_rename_after_commit(traced({}));
        if (kill_at.name.empty())
            return Failures("no rename after the journal's commit\n");
        const auto interrupt = [&] {
            reset();
            box_.start({{}, injecting(kill_at, "signal=KILL", "/dev/null")});
        };
        interrupt();
        if (!exists(box_.install() + "/.updater/journal"))
            return "killed at " + kill_at.line + ", the update left no journal\n";
        return sweep(traced(kRecover.arguments), [&](const std::vector<std::string> &strace,
                                                     const Fault &, Tally &tally,
                                                     const std::string &at) {
            interrupt();
            const int faulted = box_.start({kRecover.arguments, strace});
            if (exited_zero(faulted) && version() != "old" && version() != "new")
                tally.add(at, "--recover exited 0 over a mixed tree", version());
            const int status = box_.start(kRecover);
            if (!exited_zero(status))
                tally.add(at, "a clean --recover did not exit 0", std::to_string(status));
            if (version() != "new")
                tally.add(at, "a committed update not finished by a clean --recover", version());
            expect_no_litter("a clean --recover", tally, at);
        });
    }));
}

// A --rollback of the update above: from the new version, with the old one
// kept as the previous release.
TEST_F(AllOrNothing, UnderAFaultAtEveryCallOfARollback)
{
    if (!have_strace())
        GTEST_SKIP() << "no strace";
    EXPECT_CHILD_PASSED(box_.inside([&] {
        const auto update = [&] {
            reset();
            box_.start({});
        };
        update();
        if (version() != "new")
            return "the clean update did not install: " + version() + "\n";
        const std::vector<Call> calls = traced(kRollback.arguments);
        if (version() != "old")
            return "the clean traced --rollback did not reach the old version: " + version() + "\n";
        return sweep(calls, [&](const std::vector<std::string> &strace, const Fault &fault,
                                Tally &tally, const std::string &at) {
            update();
            const std::string updated = result_line();
            const int faulted = box_.start({kRollback.arguments, strace});
            const std::string line = result_line(), after_run = version();
            if (exited_zero(faulted) && after_run != "old")
                tally.add(at, "--rollback exited 0 over a tree not old", line + "; " + after_run);
            if (const std::string why = untrue(line, after_run, "new");
                !why.empty() && !(std::string(fault.name) == "SIGKILL" && line == updated))
                tally.add(at, why, line + "; " + after_run);
            const int status = box_.start(kRecover);
            const std::string recovered = version(), recovered_line = result_line();
            if (!exited_zero(status))
                tally.add(at, "--recover did not exit 0", std::to_string(status) + "; " + recovered);
            if (recovered != "old" && recovered != "new")
                tally.add(at, "mixed after --recover", recovered);
            else if (line.rfind("incomplete: ", 0) == 0 && recovered != "old")
                tally.add(at, "--recover did not finish an incomplete rollback", recovered);
            if (const std::string why = untrue(recovered_line, recovered, "new"); !why.empty())
                tally.add(at, why + " after --recover", recovered_line + "; " + recovered);
            expect_no_litter("--recover", tally, at);
            // From the new version a clean --rollback reaches the old one;
            // at the old one nothing is kept to take back.
            const bool again = exited_zero(box_.start(kRollback));
            if (version() != "old" || again != (recovered == "new"))
                tally.add(at, "a clean --rollback from " + recovered + " went wrong",
                          result_line() + "; " + version());
            if (exists(box_.install() + "/.updater/previous"))
                tally.add(at, "a previous release still kept", recovered);
            expect_no_litter("a clean --rollback", tally, at);
        });
    }));
}

// The board's web handler triggered twice, now and then with a recovery
// started by hand during the update. Many more files in one folder keep each
// run's journal in place long enough for the other run to meet it.
TEST_F(AllOrNothing, WithTwoUpdatesStartedTogether)
{
    for (int i = 0; i < 200; ++i) {
        const std::string page = "www/page" + std::to_string(i);
        write_file(box_.staging() + "/" + page, "page");
        write_file(box_.root() + "/new/" + page, "page");
        paths_.push_back(page);
    }
    old_ = tree_state(box_.root() + "/old", paths_);
    new_ = tree_state(box_.root() + "/new", paths_);
    EXPECT_CHILD_PASSED(box_.inside([&] {
        Tally tally;
        for (unsigned round = 0; round < 30; ++round) {
            tally.begin("rounds");
            reset();
            std::vector<Launch> launches{{}, {{}, {}, round % 3}};
            if (round % 3 == 2)
                launches.push_back({kRecover.arguments, {}, 8 + round});
            box_.start_together(launches);
            const std::string at = "round " + std::to_string(round), line = result_line();
            if (version() != "new")
                tally.add(at, "not at the new version", version());
            // A run that finds another one at work may say so.
            if (!untrue(line, version()).empty() && line.find("another update") == std::string::npos)
                tally.add(at, "untrue result line", line);
            expect_no_litter("the runs", tally, at);
            if (!exited_zero(box_.start(kRecover)) || version() != "new")
                tally.add(at, "a final --recover failed", version());
        }
        return tally.report();
    }));
}

}  // namespace
