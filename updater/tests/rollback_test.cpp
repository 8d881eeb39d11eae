// Taking back the last update: the previous release an update keeps, put
// back by --rollback, released by --confirm, and taken back at boot when the
// new release does not confirm itself in time.

#include "release_keys.h"
#include "sandbox.h"

#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

// Release A installed, B staged: changed content, a staged mode the replaced
// file does not take, a hard-link pair that B splits, a link that B replaces
// by a file, new files in an existing folder, a new folder holding a nested
// one, files left as they are and a folder B does not carry.
const TreeEntry kTree[] = {
    {"bin", "d0755", "d0755", "d0755"},
    {"bin/app", "f0755:app 1", "f0755:app 2", "f0755:app 2"},
    {"bin/helper", "f0755:helper", "f0755:helper", "f0755:helper"},
    {"etc", "d0755", "d0755", "d0755"},
    {"etc/app.conf", "f0644:conf 1", "f0600:conf 2", "f0644:conf 2"},
    {"etc/secret", "f0600:@1", "f0600:@2", "f0600:@2"},
    {"etc/shared.conf", "f0644:shared 1", "f0644:shared 2", "f0644:shared 2"},
    {"etc/new.conf", "", "f0640:new", "f0640:new"},
    {"lib", "d0755", "d0755", "d0755"},
    {"lib/libx.so.1", "f0644:libx 1", "f0644:libx 1", "f0644:libx 1"},
    {"lib/libx.so", "l:libx.so.1", "f0644:libx 2", "f0644:libx 2"},
    {"share", "d0750", "d0750", "d0750"},
    {"share/doc", "d0755", "d0755", "d0755"},
    {"share/doc/index.html", "f0644:index 1", "f0644:index 2", "f0644:index 2"},
    {"share/shared.conf", "h:etc/shared.conf", "f0644:shared 3", "f0644:shared 3"},
    {"plugins", "", "d0755", "d0755"},
    {"plugins/a.so", "", "f0755:a", "f0755:a"},
    {"plugins/sub", "", "d0700", "d0700"},
    {"plugins/sub/c.dat", "", "f0600:c", "f0600:c"},
    {"var", "d0755", "", "d0755"},
    {"var/local.db", "f0600:local", "", "f0600:local"},
};

const std::string kTakenBack = "7 files restored, 3 files and 2 folders removed";
const std::string kNoneKept = "refused: no previous release is kept; nothing changed";

int exit_code(const RunResult &r)
{
    return WIFEXITED(r.parent_status) ? WEXITSTATUS(r.parent_status) : -1;
}

// A sandbox with release A installed and B staged, and both as installed.
struct Releases {
    Sandbox box;
    std::vector<std::string> paths = paths_of(kTree);
    TreeState a, b;
    std::map<std::string, ino_t> a_inodes;

    Releases()
    {
        build_tree(box.install(), kTree, &TreeEntry::before);
        build_tree(box.staging(), kTree, &TreeEntry::staged);
        build_tree(box.root() + "/b", kTree, &TreeEntry::after);
        a = installed();
        b = tree_state(box.root() + "/b", paths);
        for (const std::string &path : paths)
            a_inodes[path] = inode_of(box.install() + "/" + path);
    }
    TreeState installed() const { return tree_state(box.install(), paths); }
    RunResult run(const std::vector<std::string> &arguments, RunOptions options = {})
    {
        options.arguments = arguments;
        options.capture_output = true;
        return box.run(options);
    }
    std::string line() const
    {
        const std::string text = read_file(box.install() + "/.updater/result");
        return text.empty() ? text : text.substr(0, text.size() - 1);
    }
    bool keeps_previous() const { return exists(box.install() + "/.updater/previous"); }

    // After a rollback: the wanted tree, every file of A that it holds as A
    // had it under its old inode, nothing left of the records or temporaries.
    void expect_rolled_back_to(const TreeState &wanted) const
    {
        EXPECT_EQ(first_difference(tree_state(box.install(), paths), wanted), "");
        for (const auto &[path, inode] : a_inodes)
            EXPECT_TRUE(wanted.at(path) != a.at(path) ||
                        inode_of(box.install() + "/" + path) == inode)
                << path;
        EXPECT_EQ(litter_in(box.install()), std::vector<std::string>{});
        EXPECT_FALSE(keeps_previous());
    }

    // A second rollback finds nothing to take back and changes nothing.
    void expect_refused_rollback()
    {
        const TreeState before = installed();
        const RunResult again = run({"--rollback"});
        EXPECT_EQ(exit_code(again), 1);
        EXPECT_EQ(again.output, kNoneKept + "\n");
        EXPECT_EQ(line(), kNoneKept);
        EXPECT_EQ(first_difference(installed(), before), "");
    }
};

TEST(Rollback, SignedReleaseIsTakenBackWithEveryKindOfChangeAndItsManifest)
{
    ReleaseKeys keys;
    ASSERT_TRUE(keys.make()) << "openssl could not make the keys";
    Releases r;
    build_tree(r.box.root() + "/tmp/a", kTree, &TreeEntry::before);
    RunOptions manifest;
    manifest.arguments = {"--manifest", "/tmp/a", "1.0"};
    manifest.capture_output = true;
    RUN_OR_SKIP(r.box, made_a, manifest);
    const std::string manifest_a = exit_code(made_a) == 0 ? made_a.output : "";
    manifest.arguments = {"--manifest", "/tmp/build", "2.0"};
    const RunResult made_b = r.box.run(manifest);
    const std::string manifest_b = exit_code(made_b) == 0 ? made_b.output : "";
    ASSERT_NE(manifest_a, "");
    ASSERT_NE(manifest_b, "");
    mkdir((r.box.install() + "/.updater").c_str(), 0700);
    mkdir((r.box.staging() + "/.updater").c_str(), 0755);
    write_file(r.box.install() + "/.updater/manifest", manifest_a, 0600);
    write_file(r.box.staging() + "/.updater/manifest", manifest_b);
    ASSERT_TRUE(keys.sign("release", r.box.staging()));
    RunOptions signed_run;
    signed_run.keys = keys.trusted();
    const RunResult verify_a = r.run({"--verify"}, signed_run);
    EXPECT_EQ(exit_code(verify_a), 0) << verify_a.output;

    r.run({}, signed_run);
    ASSERT_EQ(r.line().rfind("installed: ", 0), 0u) << r.line();
    ASSERT_EQ(first_difference(r.installed(), r.b), "");
    EXPECT_EQ(permissions_of(r.box.install() + "/.updater/previous"), 0700u);

    const RunResult back = r.run({"--rollback"}, signed_run);
    const std::string line = "rolled back: release 2.0 taken back; " + kTakenBack;
    EXPECT_EQ(exit_code(back), 0);
    EXPECT_EQ(back.output, line + "\n");
    EXPECT_EQ(r.line(), line);
    EXPECT_EQ(back.commands, std::vector<std::string>{});  // no service stopped, no reboot
    r.expect_rolled_back_to(r.a);
    EXPECT_EQ(read_file(r.box.install() + "/.updater/manifest"), manifest_a);
    const RunResult verify = r.run({"--verify"}, signed_run);
    EXPECT_EQ(exit_code(verify), exit_code(verify_a));
    EXPECT_EQ(verify.output, verify_a.output);
    r.expect_refused_rollback();
}

// What happens between the update and --rollback decides what it takes back.
TEST(Rollback, TakesBackOnlyTheKeptReleaseAndWhatItStillOwns)
{
    struct Case {
        const char *name;
        std::function<void(Releases &)> between;
        const TreeState Releases::*base;  // the tree wanted after --rollback, but for
        TreeState changed;                // these paths
        std::string line;
    };
    const std::string taken_back = "rolled back: the last update taken back; ";
    const std::vector<Case> cases = {
        {"nothing", [](Releases &) {}, &Releases::a, {}, taken_back + kTakenBack},
        {"an update refused, then one with nothing to do",
         [](Releases &r) {
             chmod((r.box.staging() + "/bin").c_str(), 0775);
             r.run({});
             EXPECT_EQ(r.line().rfind("refused: staged bin", 0), 0u) << r.line();
             chmod((r.box.staging() + "/bin").c_str(), 0755);
             r.run({});
             EXPECT_EQ(r.line(), "nothing to do");
         },
         &Releases::a,
         {},
         taken_back + kTakenBack},
        {"the next update, which keeps B instead",
         [](Releases &r) {
             write_file(r.box.staging() + "/bin/app", "app 3", 0755);
             r.run({});
         },
         &Releases::b,
         {},
         taken_back + "1 file restored, 0 files and 0 folders removed"},
        {"--confirm",
         [](Releases &r) { EXPECT_EQ(exit_code(r.run({"--confirm"})), 0); },
         &Releases::b,
         {},
         kNoneKept},
        {"someone else's files in what the update added",
         [](Releases &r) {
             write_file(r.box.install() + "/plugins/sub/user.txt", "theirs");
             write_file(r.box.install() + "/etc/new.conf.tmp", "theirs too");
             rename((r.box.install() + "/etc/new.conf.tmp").c_str(),
                    (r.box.install() + "/etc/new.conf").c_str());
         },
         &Releases::a,
         {{"plugins", "d0755"},
          {"plugins/sub", "d0700"},
          {"plugins/sub/user.txt", "f0644:theirs"},
          {"etc/new.conf", "f0644:theirs too"}},
         taken_back + "7 files restored, 2 files and 0 folders removed; 2 added folders kept: "
                      "they hold files the release did not bring"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Releases r;
        RUN_OR_SKIP(r.box, updated);
        ASSERT_EQ(first_difference(r.installed(), r.b), "");
        c.between(r);
        TreeState wanted = r.*c.base;
        for (const auto &[path, word] : c.changed) {
            if (!wanted.contains(path))
                r.paths.push_back(path);
            wanted[path] = word;
        }
        const RunResult back = r.run({"--rollback"});
        EXPECT_EQ(exit_code(back), c.line == kNoneKept ? 1 : 0);
        EXPECT_EQ(r.line(), c.line);
        r.expect_rolled_back_to(wanted);
        r.expect_refused_rollback();
        EXPECT_EQ(exit_code(r.run({"--confirm"})), 0);  // also with none kept
    }
}

// The kept release is used space: an update that fits only without it
// releases it first and says so; one that does not fit even then leaves it.
TEST(Rollback, KeptReleaseGivesWayOnlyToAnUpdateThatNeedsItsSpace)
{
    const auto content = [](char version, size_t size) { return std::string(size, version); };
    const size_t mib = size_t{1} << 20;
    Sandbox box;
    write_file(box.install() + "/big", content('1', mib));
    RunOptions small;
    small.install_space = static_cast<long>(2 * mib + mib * 6 / 10);
    const struct {
        char version;
        size_t size;
        std::string line;
        char installed;
    } steps[] = {
        {'2', mib, "installed: 1 file, 0 new folders", '2'},
        {'3', mib, "installed: 1 file, 0 new folders; the previous release was released for space",
         '3'},
        {'4', mib * 17 / 10, "refused: not enough space", '3'},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.version);
        write_file(box.staging() + "/big", content(step.version, step.size));
        RUN_OR_SKIP(box, result, small);
        const std::string line = read_file(box.install() + "/.updater/result");
        EXPECT_EQ(line.substr(0, step.line.size()), step.line);
        EXPECT_EQ(read_file(box.install() + "/big"), content(step.installed, mib));
    }
    small.arguments = {"--rollback"};
    small.capture_output = true;
    RUN_OR_SKIP(box, back, small);
    EXPECT_EQ(read_file(box.install() + "/big"), content('2', mib));  // kept by the second
}

// Each --recover at boot counts one while a previous release is kept: with
// confirm-boots 2 the third boot without --confirm takes the release back.
TEST(Rollback, UnconfirmedReleaseIsTakenBackAtTheBootAfterItsLast)
{
    struct Case {
        int confirm_boots;  // 0: no such file
        int confirm_after;  // --confirm after this boot (0: never)
        int boots;
        bool taken_back;  // at the last boot
    };
    for (const Case &c : {Case{2, 0, 3, true}, Case{2, 1, 5, false}, Case{0, 0, 5, false}}) {
        SCOPED_TRACE(testing::Message() << c.confirm_boots << " " << c.confirm_after);
        Releases r;
        RUN_OR_SKIP(r.box, updated);
        RunOptions boot;
        boot.confirm_boots = c.confirm_boots;
        for (int n = 1; n <= c.boots; ++n) {
            const RunResult recovered = r.run({"--recover"}, boot);
            EXPECT_EQ(exit_code(recovered), 0) << "boot " << n;
            const bool still_b = n < c.boots || !c.taken_back;
            EXPECT_EQ(first_difference(r.installed(), still_b ? r.b : r.a), "") << "boot " << n;
            if (n == c.confirm_after)
                r.run({"--confirm"}, boot);
        }
        if (!c.taken_back) {
            EXPECT_EQ(r.keeps_previous(), c.confirm_after == 0);
            continue;
        }
        EXPECT_EQ(r.line(), "rolled back: the last update taken back after 2 boots without "
                            "confirmation; " +
                                kTakenBack);
        r.expect_rolled_back_to(r.a);
        r.expect_refused_rollback();
    }
}

}  // namespace
