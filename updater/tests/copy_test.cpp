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

std::string patterned(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131) ^ (i >> 9));
    return data;
}

void makeSocket(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);
}

TEST(StagedTreeCopy, MirrorsNestedTreeOverTheInstalledOne) {
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    const std::string big = patterned(3 << 20);
    fs::create_directories(src + "/www/apps/deep");
    fs::create_directories(src + "/conf");
    writeFile(src + "/a.txt", "A");
    writeFile(src + "/www/index.html", "<html>");
    writeFile(src + "/www/apps/deep/x.bin", big);
    writeFile(src + "/keep.txt", "new", 0600);
    writeFile(src + "/d", "file over a directory");
    writeFile(src + "/conf/x", "x");
    fs::create_directories(dst + "/www");
    fs::create_directories(dst + "/d");
    writeFile(dst + "/www/extra", "installed only");
    writeFile(dst + "/d/inner", "inner");
    writeFile(dst + "/keep.txt", "old", 0640);
    ASSERT_EQ(chown((dst + "/keep.txt").c_str(), 1234, 1234), 0);
    writeFile(dst + "/conf", "a file where a directory is staged");
    writeFile(dst + "/only.txt", "installed only");
    // New programs keep their execute bits, never set-user/group-ID.
    fs::create_directories(src + "/bin");
    writeFile(src + "/bin/newdaemon", "#!/bin/sh\n", 0755);
    writeFile(src + "/bin/setid", "#!/bin/sh\n", 06755);
    RUN_OR_SKIP(sandbox, result);

    EXPECT_EQ(readFile(dst + "/a.txt"), "A");
    EXPECT_EQ(permissionsOf(dst + "/a.txt"), 0644u);
    EXPECT_EQ(readFile(dst + "/www/index.html"), "<html>");
    EXPECT_TRUE(readFile(dst + "/www/apps/deep/x.bin") == big);
    EXPECT_EQ(readFile(dst + "/www/extra"), "installed only");
    EXPECT_EQ(readFile(dst + "/only.txt"), "installed only");
    EXPECT_EQ(readFile(dst + "/keep.txt"), "new");
    EXPECT_EQ(permissionsOf(dst + "/keep.txt"), 0640u);
    struct stat kept {};
    stat((dst + "/keep.txt").c_str(), &kept);
    EXPECT_EQ(kept.st_uid, 1234u);
    EXPECT_EQ(kept.st_gid, 1234u);
    EXPECT_TRUE(fs::is_directory(dst + "/d"));
    EXPECT_EQ(readFile(dst + "/d/inner"), "inner");
    EXPECT_EQ(readFile(dst + "/conf"), "a file where a directory is staged");
    EXPECT_EQ(permissionsOf(dst + "/bin/newdaemon"), 0755u);
    EXPECT_EQ(permissionsOf(dst + "/bin/setid"), 0755u);
    EXPECT_EQ(filesNamed(dst, ".updater-"), std::vector<std::string>{});
    EXPECT_EQ(readFile(dst + "/.updater/result"), "installed: 6 files, 3 new folders\n");

    // The same update again changes nothing: no file is written or renamed.
    const ino_t bigInode = inodeOf(dst + "/www/apps/deep/x.bin"), keep = inodeOf(dst + "/keep.txt");
    RunResult again = sandbox.run();
    EXPECT_EQ(inodeOf(dst + "/www/apps/deep/x.bin"), bigInode);
    EXPECT_EQ(inodeOf(dst + "/keep.txt"), keep);
    EXPECT_EQ(readFile(dst + "/.updater/result"), "nothing to do\n");
    EXPECT_EQ(again.commands.size(), 6u);
}

TEST(StagedTreeCopy, FollowsOnlyLinksToFilesInsideTheStagingTree) {
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    writeFile(sandbox.root() + "/secret", "outside");
    writeFile(src + "/target.txt", "T");
    fs::create_directories(src + "/sub");
    writeFile(src + "/sub/f", "F");
    fs::create_symlink("target.txt", src + "/relative");
    fs::create_symlink("/tmp/build/target.txt", src + "/absolute");
    fs::create_symlink("../../secret", src + "/escaping");
    fs::create_symlink("/etc/hostname", src + "/system");
    fs::create_symlink("missing", src + "/dangling");
    fs::create_symlink("sub", src + "/dirlink");
    fs::create_symlink("sub", src + "/dirlink-over-file");
    fs::create_symlink("../..", src + "/up");
    writeFile(dst + "/system", "installed");
    writeFile(dst + "/dangling", "installed");
    writeFile(dst + "/dirlink-over-file", "installed");
    writeFile(src + "/installed-link", "through the link");
    writeFile(dst + "/real.txt", "installed");
    fs::create_symlink("real.txt", dst + "/installed-link");
    RUN_OR_SKIP(sandbox, result);

    EXPECT_EQ(readFile(dst + "/relative"), "T");
    EXPECT_EQ(readFile(dst + "/absolute"), "T");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dst + "/absolute")));
    EXPECT_FALSE(exists(dst + "/escaping"));
    EXPECT_EQ(readFile(dst + "/system"), "installed");
    EXPECT_EQ(readFile(dst + "/dangling"), "installed");
    EXPECT_FALSE(exists(dst + "/dirlink"));
    EXPECT_EQ(readFile(dst + "/dirlink-over-file"), "installed");
    EXPECT_FALSE(exists(dst + "/up"));
    EXPECT_EQ(readFile(dst + "/sub/f"), "F");
    EXPECT_TRUE(fs::is_symlink(dst + "/installed-link"));
    EXPECT_EQ(readFile(dst + "/real.txt"), "through the link");
}

// /tmp is writable by everyone: a staging root that is a link (to a
// root-only folder), belongs to another user or is writable by others
// installs nothing, and the board still reboots.
TEST(StagedTreeCopy, StagingRootThatCannotBeTrustedInstallsNothing) {
    enum Swap { Link, Foreign, GroupWritable };
    for (Swap swap : {Link, Foreign, GroupWritable}) {
        SCOPED_TRACE(swap);
        Sandbox sandbox;
        const std::string src = sandbox.staging(), dst = sandbox.install();
        const std::string secret = sandbox.root() + "/root-only";
        fs::create_directories(secret);
        chmod(secret.c_str(), 0700);
        writeFile(secret + "/key", "root's secret", 0600);
        if (swap == Link) {
            fs::remove(src);
            fs::create_symlink(secret, src);
            ASSERT_EQ(lchown(src.c_str(), 65534, 65534), 0);
        } else {
            writeFile(src + "/key", "supplied by someone else", 0600);
            ASSERT_EQ(swap == Foreign ? chown(src.c_str(), 65534, 65534) : chmod(src.c_str(), 0775),
                      0);
        }
        RUN_OR_SKIP(sandbox, result);

        EXPECT_FALSE(exists(dst + "/key"));
        EXPECT_EQ(readFile(dst + "/.updater/result").rfind("refused: ", 0), 0u);
        EXPECT_EQ(result.commands.size(), 6u);
    }
}

TEST(StagedTreeCopy, SkipsFifosSocketsAndDevicesWithoutBlocking) {
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    ASSERT_EQ(mkfifo((src + "/pipe").c_str(), 0644), 0);
    ASSERT_EQ(mknod((src + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    makeSocket(src + "/sock");
    writeFile(src + "/plain", "P");
    writeFile(dst + "/pipe", "installed");
    RUN_OR_SKIP(sandbox, result);

    EXPECT_TRUE(result.allEnded);
    EXPECT_EQ(readFile(dst + "/pipe"), "installed");
    EXPECT_FALSE(exists(dst + "/null"));
    EXPECT_FALSE(exists(dst + "/sock"));
    EXPECT_EQ(readFile(dst + "/plain"), "P");
}

// Killed after the commit, with one file renamed: recovery completes it.
TEST(StagedTreeCopy, RunKilledAfterItsCommitIsCompletedByRecovery) {
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    for (const char *name : {"/a", "/b", "/c"}) {
        writeFile(src + name, std::string("new ") + name);
        writeFile(dst + name, "old");
    }
    RunOptions killed;
    killed.fault = "kill-at-rename";
    RUN_OR_SKIP(sandbox, first, killed);
    ASSERT_EQ(first.commands.size(), 3u);
    int stillOld = 0;
    for (const char *name : {"/a", "/b", "/c"})
        stillOld += readFile(dst + name) == "old";
    ASSERT_EQ(stillOld, 2);

    RunOptions recover;
    recover.arguments = {"--recover"};
    sandbox.run(recover);
    for (const char *name : {"/a", "/b", "/c"})
        EXPECT_EQ(readFile(dst + name), std::string("new ") + name);
    EXPECT_EQ(filesNamed(dst, ".updater-"), std::vector<std::string>{});
    EXPECT_FALSE(exists(dst + "/.updater/journal"));
}

// One descriptor per level would stop near the usual limit of 1024.
TEST(StagedTreeCopy, CopiesTreesDeeperThanTheDescriptorLimit) {
    Sandbox sandbox;
    std::string rel;
    for (int level = 0; level < 1100; ++level) {
        rel += "/d";
        ASSERT_EQ(mkdir((sandbox.staging() + rel).c_str(), 0755), 0);
    }
    writeFile(sandbox.staging() + rel + "/leaf", "deep");
    writeFile(sandbox.staging() + "/d/top", "top");
    RunOptions options;
    options.openFileLimit = 1024;
    RUN_OR_SKIP(sandbox, result, options);

    EXPECT_EQ(readFile(sandbox.install() + rel + "/leaf"), "deep");
    EXPECT_EQ(readFile(sandbox.install() + "/d/top"), "top");
}

// Four names of one staged file stay one file; a sparse file stays sparse.
TEST(StagedTreeCopy, KeepsHardLinksAndHoles) {
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    fs::create_directories(src + "/lib");
    writeFile(src + "/lib/libbig.so.1", patterned(1 << 20), 0755);
    for (const char *name : {"/lib/libbig.so", "/lib/alias", "/other"})
        fs::create_hard_link(src + "/lib/libbig.so.1", src + name);
    const off_t sparseSize = off_t{64} << 20;
    writeFile(src + "/sparse.img", "");
    ASSERT_EQ(truncate((src + "/sparse.img").c_str(), sparseSize - 4), 0);
    std::ofstream(src + "/sparse.img", std::ios::app) << "tail";
    RUN_OR_SKIP(sandbox, result);

    const ino_t shared = inodeOf(dst + "/lib/libbig.so.1");
    EXPECT_EQ(inodeOf(dst + "/lib/libbig.so"), shared);
    EXPECT_EQ(inodeOf(dst + "/lib/alias"), shared);
    EXPECT_EQ(inodeOf(dst + "/other"), shared);
    EXPECT_EQ(permissionsOf(dst + "/other"), 0755u);
    struct stat sparse {};
    ASSERT_EQ(stat((dst + "/sparse.img").c_str(), &sparse), 0);
    EXPECT_EQ(sparse.st_size, sparseSize);
    EXPECT_LT(sparse.st_blocks * 512, 1 << 20);
    std::ifstream tail(dst + "/sparse.img");
    tail.seekg(sparseSize - 4);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(tail), {}), "tail");
}

TEST(StagedTreeCopy, HandlesDirectoryPathsBeyondTheOldLimit) {
    Sandbox sandbox;
    std::string rel;
    for (int level = 0; level < 6; ++level)
        rel += "/" + std::string(200, static_cast<char>('a' + level));
    ASSERT_GT((std::string("/opt/quarnel") + rel).size(), 1022u);
    fs::create_directories(sandbox.staging() + rel);
    writeFile(sandbox.staging() + rel + "/leaf", "deep");
    RUN_OR_SKIP(sandbox, result);

    EXPECT_EQ(readFile(sandbox.install() + rel + "/leaf"), "deep");
}

// Started under "ulimit -f": the write that fails must neither end the run
// before the reboot (SIGXFSZ) nor leave part of the update installed.
TEST(StagedTreeCopy, FailedWriteUnderAFileSizeLimitChangesNothing) {
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    writeFile(src + "/big.bin", patterned(2 << 20));
    writeFile(src + "/small.txt", "small");
    writeFile(dst + "/big.bin", "installed");
    RunOptions options;
    options.fileSizeLimit = 1 << 20;
    RUN_OR_SKIP(sandbox, result, options);

    EXPECT_EQ(result.commands.size(), 6u);
    EXPECT_EQ(readFile(dst + "/big.bin"), "installed");
    EXPECT_FALSE(exists(dst + "/small.txt"));
    EXPECT_EQ(filesNamed(dst, ".updater-"), std::vector<std::string>{});
    EXPECT_EQ(readFile(dst + "/.updater/result").rfind("refused: ", 0), 0u);
}

// A replacement needs room for both versions until the renames; when the
// whole update does not fit, none of it is installed.
TEST(StagedTreeCopy, UpdateThatDoesNotFitChangesNothing) {
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    writeFile(dst + "/app.bin", patterned(600 << 10));
    writeFile(dst + "/version", "1");
    writeFile(src + "/app.bin", patterned(600 << 10) + "2");
    writeFile(src + "/version", "2");
    fs::create_directories(src + "/lib");
    writeFile(src + "/lib/libnew.so", patterned(100 << 10));
    RunOptions options;
    options.installSpace = 1 << 20;
    RUN_OR_SKIP(sandbox, result, options);

    EXPECT_EQ(result.commands.size(), 6u);
    EXPECT_TRUE(readFile(dst + "/app.bin") == patterned(600 << 10));
    EXPECT_EQ(readFile(dst + "/version"), "1");
    EXPECT_FALSE(exists(dst + "/lib"));
    EXPECT_EQ(filesNamed(dst, ".updater-"), std::vector<std::string>{});
    EXPECT_EQ(readFile(dst + "/.updater/result").rfind("refused: not enough space", 0), 0u);
}

// A run killed after writing its temporaries (OOM killer, power cut) leaves
// nothing behind once recovered, and a later run, even with the same
// process ID, installs every file; a staged file named like a temporary is
// content.
TEST(StagedTreeCopy, KilledRunIsUndoneAndTheNextOneInstallsEverything) {
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    fs::create_directories(src + "/www");
    for (int i = 0; i < 150; ++i)
        writeFile(src + "/www/page" + std::to_string(i), "page " + std::to_string(i));
    writeFile(src + "/www/.updater-3-7", "staged content");
    writeFile(src + "/www/page0", "new page 0");
    writeFile(dst + "/old.txt", "installed");
    RunOptions killed;
    killed.fault = "kill-at-flush";
    RUN_OR_SKIP(sandbox, first, killed);
    ASSERT_EQ(first.commands.size(), 3u);

    RunOptions recover;
    recover.arguments = {"--recover"};
    RunResult recovered = sandbox.run(recover);
    EXPECT_EQ(WEXITSTATUS(recovered.parentStatus), 0);
    EXPECT_FALSE(exists(dst + "/www"));
    EXPECT_EQ(filesNamed(dst, ".updater-"), std::vector<std::string>{});

    sandbox.run(killed);
    RunResult second = sandbox.run();
    EXPECT_EQ(second.commands.size(), 6u);
    for (int i = 1; i < 150; ++i)
        ASSERT_EQ(readFile(dst + "/www/page" + std::to_string(i)), "page " + std::to_string(i));
    EXPECT_EQ(readFile(dst + "/www/page0"), "new page 0");
    EXPECT_EQ(readFile(dst + "/www/.updater-3-7"), "staged content");
    EXPECT_EQ(filesNamed(dst, ".updater-"), std::vector<std::string>{dst + "/www/.updater-3-7"});
    EXPECT_EQ(readFile(dst + "/old.txt"), "installed");
}

// Root reads any file, so the updater runs without root rights here and the
// staged file is one it may not open.
TEST(StagedTreeCopy, UnreadableStagedFileLeavesTheInstalledOneAsItWas) {
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    writeFile(src + "/secret", "new", 0000);
    writeFile(src + "/open.txt", "readable");
    writeFile(dst + "/secret", "installed", 0640);
    ASSERT_EQ(chown(dst.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown((dst + "/secret").c_str(), 65534, 65534), 0);
    RunOptions options;
    options.asNobody = true;
    RUN_OR_SKIP(sandbox, result, options);

    EXPECT_EQ(readFile(dst + "/open.txt"), "readable");
    EXPECT_EQ(readFile(dst + "/secret"), "installed");
    EXPECT_EQ(permissionsOf(dst + "/secret"), 0640u);
    EXPECT_EQ(filesNamed(dst, ".updater-"), std::vector<std::string>{});
}

} // namespace
