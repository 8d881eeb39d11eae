// What an update run leaves in the install root.

#include "sandbox.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string patterned(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131) ^ (i >> 9));
    return data;
}

// A refused update still stops the services and reboots, and leaves no
// temporary behind.
void expect_refused(const RunResult &result, const std::string &dst, const std::string &why)
{
    EXPECT_EQ(result.commands.size(), 6u);
    EXPECT_EQ(files_named(dst, ".updater-"), std::vector<std::string>{});
    EXPECT_EQ(read_file(dst + "/.updater/result").rfind(why, 0), 0u);
}

void make_socket(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);
}

TEST(StagedTreeCopy, MirrorsNestedTreeOverTheInstalledOne)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    const std::string big = patterned(3 << 20);
    fs::create_directories(src + "/www/apps/deep");
    fs::create_directories(src + "/conf");
    write_file(src + "/a.txt", "A");
    write_file(src + "/www/index.html", "<html>");
    write_file(src + "/www/apps/deep/x.bin", big);
    write_file(src + "/keep.txt", "new", 0600);
    write_file(src + "/d", "file over a directory");
    write_file(src + "/conf/x", "x");
    fs::create_directories(dst + "/www");
    fs::create_directories(dst + "/d");
    write_file(dst + "/www/extra", "installed only");
    write_file(dst + "/d/inner", "inner");
    write_file(dst + "/keep.txt", "old", 0640);
    ASSERT_EQ(chown((dst + "/keep.txt").c_str(), 1234, 1234), 0);
    write_file(dst + "/conf", "a file where a directory is staged");
    write_file(dst + "/only.txt", "installed only");
    // New programs keep their execute bits, never set-user/group-ID.
    fs::create_directories(src + "/bin");
    write_file(src + "/bin/newdaemon", "#!/bin/sh\n", 0755);
    write_file(src + "/bin/setid", "#!/bin/sh\n", 06755);
    RUN_OR_SKIP(sandbox, result);

    EXPECT_EQ(read_file(dst + "/a.txt"), "A");
    EXPECT_EQ(permissions_of(dst + "/a.txt"), 0644u);
    EXPECT_EQ(read_file(dst + "/www/index.html"), "<html>");
    EXPECT_TRUE(read_file(dst + "/www/apps/deep/x.bin") == big);
    EXPECT_EQ(read_file(dst + "/www/extra"), "installed only");
    EXPECT_EQ(read_file(dst + "/only.txt"), "installed only");
    EXPECT_EQ(read_file(dst + "/keep.txt"), "new");
    EXPECT_EQ(permissions_of(dst + "/keep.txt"), 0640u);
    struct stat kept {};
    stat((dst + "/keep.txt").c_str(), &kept);
    EXPECT_EQ(kept.st_uid, 1234u);
    EXPECT_EQ(kept.st_gid, 1234u);
    EXPECT_TRUE(fs::is_directory(dst + "/d"));
    EXPECT_EQ(read_file(dst + "/d/inner"), "inner");
    EXPECT_EQ(read_file(dst + "/conf"), "a file where a directory is staged");
    EXPECT_EQ(permissions_of(dst + "/bin/newdaemon"), 0755u);
    EXPECT_EQ(permissions_of(dst + "/bin/setid"), 0755u);
    EXPECT_EQ(files_named(dst, ".updater-"), std::vector<std::string>{});
    EXPECT_EQ(read_file(dst + "/.updater/result"), "installed: 6 files, 3 new folders\n");

    // The same update again changes nothing: no file is written or renamed.
    const ino_t big_inode = inode_of(dst + "/www/apps/deep/x.bin"),
                keep = inode_of(dst + "/keep.txt");
    RunResult again = sandbox.run();
    EXPECT_EQ(inode_of(dst + "/www/apps/deep/x.bin"), big_inode);
    EXPECT_EQ(inode_of(dst + "/keep.txt"), keep);
    EXPECT_EQ(read_file(dst + "/.updater/result"), "nothing to do\n");
    EXPECT_EQ(again.commands.size(), 6u);
}

TEST(StagedTreeCopy, FollowsOnlyLinksToFilesInsideTheStagingTree)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    write_file(sandbox.root() + "/secret", "outside");
    write_file(src + "/target.txt", "T");
    fs::create_directories(src + "/sub");
    write_file(src + "/sub/f", "F");
    fs::create_symlink("target.txt", src + "/relative");
    fs::create_symlink("/tmp/build/target.txt", src + "/absolute");
    fs::create_symlink("../../secret", src + "/escaping");
    fs::create_symlink("/etc/hostname", src + "/system");
    fs::create_symlink("missing", src + "/dangling");
    fs::create_symlink("sub", src + "/dirlink");
    fs::create_symlink("sub", src + "/dirlink-over-file");
    fs::create_symlink("../..", src + "/up");
    write_file(dst + "/system", "installed");
    write_file(dst + "/dangling", "installed");
    write_file(dst + "/dirlink-over-file", "installed");
    write_file(src + "/installed-link", "through the link");
    write_file(dst + "/real.txt", "installed");
    fs::create_symlink("real.txt", dst + "/installed-link");
    RUN_OR_SKIP(sandbox, result);

    EXPECT_EQ(read_file(dst + "/relative"), "T");
    EXPECT_EQ(read_file(dst + "/absolute"), "T");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dst + "/absolute")));
    EXPECT_FALSE(exists(dst + "/escaping"));
    EXPECT_EQ(read_file(dst + "/system"), "installed");
    EXPECT_EQ(read_file(dst + "/dangling"), "installed");
    EXPECT_FALSE(exists(dst + "/dirlink"));
    EXPECT_EQ(read_file(dst + "/dirlink-over-file"), "installed");
    EXPECT_FALSE(exists(dst + "/up"));
    EXPECT_EQ(read_file(dst + "/sub/f"), "F");
    EXPECT_TRUE(fs::is_symlink(dst + "/installed-link"));
    EXPECT_EQ(read_file(dst + "/real.txt"), "through the link");
}

// /tmp is writable by everyone: a staging root that is a link (to a
// root-only folder), belongs to another user or is writable by others
// installs nothing, and the board still reboots.
TEST(StagedTreeCopy, StagingRootThatCannotBeTrustedInstallsNothing)
{
    enum Swap { Link, Foreign, GroupWritable };
    for (Swap swap : {Link, Foreign, GroupWritable}) {
        SCOPED_TRACE(swap);
        Sandbox sandbox;
        const std::string src = sandbox.staging(), dst = sandbox.install();
        const std::string secret = sandbox.root() + "/root-only";
        fs::create_directories(secret);
        chmod(secret.c_str(), 0700);
        write_file(secret + "/key", "root's secret", 0600);
        if (swap == Link) {
            fs::remove(src);
            fs::create_symlink(secret, src);
            ASSERT_EQ(lchown(src.c_str(), 65534, 65534), 0);
        } else {
            write_file(src + "/key", "supplied by someone else", 0600);
            ASSERT_EQ(swap == Foreign ? chown(src.c_str(), 65534, 65534) : chmod(src.c_str(), 0775),
                      0);
        }
        RUN_OR_SKIP(sandbox, result);

        EXPECT_FALSE(exists(dst + "/key"));
        EXPECT_EQ(read_file(dst + "/.updater/result").rfind("refused: ", 0), 0u);
        EXPECT_EQ(result.commands.size(), 6u);
    }
}

TEST(StagedTreeCopy, SkipsFifosSocketsAndDevicesWithoutBlocking)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    ASSERT_EQ(mkfifo((src + "/pipe").c_str(), 0644), 0);
    ASSERT_EQ(mknod((src + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    make_socket(src + "/sock");
    write_file(src + "/plain", "P");
    write_file(dst + "/pipe", "installed");
    RUN_OR_SKIP(sandbox, result);

    EXPECT_TRUE(result.all_ended);
    EXPECT_EQ(read_file(dst + "/pipe"), "installed");
    EXPECT_FALSE(exists(dst + "/null"));
    EXPECT_FALSE(exists(dst + "/sock"));
    EXPECT_EQ(read_file(dst + "/plain"), "P");
}

// Killed after the commit, recovery completes the update. Programs are
// replaced by renames, small files rewritten in place: the kill leaves one
// file new and, for the rewrite, one with its new bytes over longer old ones.
// Killed between the journal's removal and its data's, it leaves data that
// recovery at boot must remove.
TEST(StagedTreeCopy, RunKilledAfterItsCommitIsCompletedByRecovery)
{
    const struct {
        const char *fault;
        mode_t mode;
        int new_after_kill;
    } cases[] = {
        {"kill-at-rename", 0755, 1}, {"kill-at-rewrite", 0644, 1}, {"kill-at-data-removal", 0644, 3}};
    for (const auto &[fault, mode, new_after_kill] : cases) {
        SCOPED_TRACE(fault);
        Sandbox sandbox;
        const std::string src = sandbox.staging(), dst = sandbox.install();
        for (const char *name : {"/a", "/b", "/c"}) {
            write_file(src + name, std::string("new ") + name, mode);
            write_file(dst + name, "old, and longer than the new", mode);
        }
        RunOptions killed;
        killed.fault = fault;
        RUN_OR_SKIP(sandbox, first, killed);
        ASSERT_EQ(first.commands.size(), 3u);
        int still_new = 0;
        for (const char *name : {"/a", "/b", "/c"})
            still_new += read_file(dst + name) == std::string("new ") + name;
        ASSERT_EQ(still_new, new_after_kill);

        RunOptions recover;
        recover.arguments = {"--recover"};
        sandbox.run(recover);
        for (const char *name : {"/a", "/b", "/c"})
            EXPECT_EQ(read_file(dst + name), std::string("new ") + name);
        EXPECT_EQ(files_named(dst, ".updater-"), std::vector<std::string>{});
        EXPECT_FALSE(exists(dst + "/.updater/journal"));
        EXPECT_FALSE(exists(dst + "/.updater/data"));
    }
}

// One descriptor per level would stop near the usual limit of 1024.
TEST(StagedTreeCopy, CopiesTreesDeeperThanTheDescriptorLimit)
{
    Sandbox sandbox;
    std::string rel;
    for (int level = 0; level < 1100; ++level) {
        rel += "/d";
        ASSERT_EQ(mkdir((sandbox.staging() + rel).c_str(), 0755), 0);
    }
    write_file(sandbox.staging() + rel + "/leaf", "deep");
    write_file(sandbox.staging() + "/d/top", "top");
    RunOptions options;
    options.open_file_limit = 1024;
    RUN_OR_SKIP(sandbox, result, options);

    EXPECT_EQ(read_file(sandbox.install() + rel + "/leaf"), "deep");
    EXPECT_EQ(read_file(sandbox.install() + "/d/top"), "top");
}

// Four names of one staged file stay one file; a sparse file stays sparse.
TEST(StagedTreeCopy, KeepsHardLinksAndHoles)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    fs::create_directories(src + "/lib");
    write_file(src + "/lib/libbig.so.1", patterned(1 << 20), 0755);
    for (const char *name : {"/lib/libbig.so", "/lib/alias", "/other"})
        fs::create_hard_link(src + "/lib/libbig.so.1", src + name);
    const off_t sparse_size = off_t{64} << 20;
    write_file(src + "/sparse.img", "");
    ASSERT_EQ(truncate((src + "/sparse.img").c_str(), sparse_size - 4), 0);
    std::ofstream(src + "/sparse.img", std::ios::app) << "tail";
    RUN_OR_SKIP(sandbox, result);

    const ino_t shared = inode_of(dst + "/lib/libbig.so.1");
    EXPECT_EQ(inode_of(dst + "/lib/libbig.so"), shared);
    EXPECT_EQ(inode_of(dst + "/lib/alias"), shared);
    EXPECT_EQ(inode_of(dst + "/other"), shared);
    EXPECT_EQ(permissions_of(dst + "/other"), 0755u);
    struct stat sparse {};
    ASSERT_EQ(stat((dst + "/sparse.img").c_str(), &sparse), 0);
    EXPECT_EQ(sparse.st_size, sparse_size);
    EXPECT_LT(sparse.st_blocks * 512, 1 << 20);
    std::ifstream tail(dst + "/sparse.img");
    tail.seekg(sparse_size - 4);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(tail), {}), "tail");
}

TEST(StagedTreeCopy, HandlesDirectoryPathsBeyondTheOldLimit)
{
    Sandbox sandbox;
    std::string rel;
    for (int level = 0; level < 6; ++level)
        rel += "/" + std::string(200, static_cast<char>('a' + level));
    ASSERT_GT((std::string("/opt/quarnel") + rel).size(), 1022u);
    fs::create_directories(sandbox.staging() + rel);
    write_file(sandbox.staging() + rel + "/leaf", "deep");
    RUN_OR_SKIP(sandbox, result);

    EXPECT_EQ(read_file(sandbox.install() + rel + "/leaf"), "deep");
}

// Started under "ulimit -f": the write that fails must neither end the run
// before the reboot (SIGXFSZ) nor leave part of the update installed.
TEST(StagedTreeCopy, FailedWriteUnderAFileSizeLimitChangesNothing)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    write_file(src + "/big.bin", patterned(2 << 20));
    write_file(src + "/small.txt", "small");
    write_file(dst + "/big.bin", "installed");
    RunOptions options;
    options.file_size_limit = 1 << 20;
    RUN_OR_SKIP(sandbox, result, options);

    expect_refused(result, dst, "refused: ");
    EXPECT_EQ(read_file(dst + "/big.bin"), "installed");
    EXPECT_FALSE(exists(dst + "/small.txt"));
}

// A replacement needs room for both versions until the renames; when the
// whole update does not fit, none of it is installed.
TEST(StagedTreeCopy, UpdateThatDoesNotFitChangesNothing)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    write_file(dst + "/app.bin", patterned(600 << 10));
    write_file(dst + "/version", "1");
    write_file(src + "/app.bin", patterned(600 << 10) + "2");
    write_file(src + "/version", "2");
    fs::create_directories(src + "/lib");
    write_file(src + "/lib/libnew.so", patterned(100 << 10));
    RunOptions options;
    options.install_space = 1 << 20;
    RUN_OR_SKIP(sandbox, result, options);

    expect_refused(result, dst, "refused: not enough space");
    EXPECT_TRUE(read_file(dst + "/app.bin") == patterned(600 << 10));
    EXPECT_EQ(read_file(dst + "/version"), "1");
    EXPECT_FALSE(exists(dst + "/lib"));
}

// A run killed after writing its temporaries (OOM killer, power cut) leaves
// nothing behind once recovered, and a later run, even with the same
// process ID, installs every file; a staged file named like a temporary is
// content.
TEST(StagedTreeCopy, KilledRunIsUndoneAndTheNextOneInstallsEverything)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    fs::create_directories(src + "/www");
    for (int i = 0; i < 150; ++i)
        write_file(src + "/www/page" + std::to_string(i), "page " + std::to_string(i));
    write_file(src + "/www/.updater-3-7", "staged content");
    write_file(src + "/www/page0", "new page 0");
    write_file(dst + "/old.txt", "installed");
    RunOptions killed;
    killed.fault = "kill-at-flush";
    RUN_OR_SKIP(sandbox, first, killed);
    ASSERT_EQ(first.commands.size(), 3u);

    RunOptions recover;
    recover.arguments = {"--recover"};
    RunResult recovered = sandbox.run(recover);
    EXPECT_EQ(WEXITSTATUS(recovered.parent_status), 0);
    EXPECT_FALSE(exists(dst + "/www"));
    EXPECT_EQ(files_named(dst, ".updater-"), std::vector<std::string>{});

    sandbox.run(killed);
    RunResult second = sandbox.run();
    EXPECT_EQ(second.commands.size(), 6u);
    for (int i = 1; i < 150; ++i)
        ASSERT_EQ(read_file(dst + "/www/page" + std::to_string(i)), "page " + std::to_string(i));
    EXPECT_EQ(read_file(dst + "/www/page0"), "new page 0");
    EXPECT_EQ(read_file(dst + "/www/.updater-3-7"), "staged content");
    EXPECT_EQ(files_named(dst, ".updater-"), std::vector<std::string>{dst + "/www/.updater-3-7"});
    EXPECT_EQ(read_file(dst + "/old.txt"), "installed");
}

// Root reads any file, so the updater runs without root rights here and the
// staged file is one it may not open.
TEST(StagedTreeCopy, UnreadableStagedFileLeavesTheInstalledOneAsItWas)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    write_file(src + "/secret", "new", 0000);
    write_file(src + "/open.txt", "readable");
    write_file(dst + "/secret", "installed", 0640);
    ASSERT_EQ(chown(dst.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown((dst + "/secret").c_str(), 65534, 65534), 0);
    RunOptions options;
    options.as_nobody = true;
    RUN_OR_SKIP(sandbox, result, options);

    EXPECT_EQ(read_file(dst + "/open.txt"), "readable");
    EXPECT_EQ(read_file(dst + "/secret"), "installed");
    EXPECT_EQ(permissions_of(dst + "/secret"), 0640u);
    EXPECT_EQ(files_named(dst, ".updater-"), std::vector<std::string>{});
}

}  // namespace
