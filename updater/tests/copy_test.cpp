// What an update run leaves in the install root.

#include "sandbox.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

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

// Killed after the commit, recovery completes the update: programs and
// plain files alike are replaced by renames.
TEST(StagedTreeCopy, RunKilledAfterItsCommitIsCompletedByRecovery)
{
    for (mode_t mode : {0755, 0644}) {
        SCOPED_TRACE(mode);
        Sandbox sandbox;
        const std::string src = sandbox.staging(), dst = sandbox.install();
        for (const char *name : {"/a", "/b", "/c"}) {
            write_file(src + name, std::string("new ") + name, mode);
            write_file(dst + name, "old, and longer than the new", mode);
        }
        RunOptions killed;
        killed.fault = "kill-at-rename";
        RUN_OR_SKIP(sandbox, first, killed);
        ASSERT_EQ(first.commands.size(), 3u);
        int still_new = 0;
        for (const char *name : {"/a", "/b", "/c"})
            still_new += read_file(dst + name) == std::string("new ") + name;
        ASSERT_EQ(still_new, 1);

        RunOptions recover;
        recover.arguments = {"--recover"};
        RunResult recovered = sandbox.run(recover);
        EXPECT_EQ(WEXITSTATUS(recovered.parent_status), 0);
        for (const char *name : {"/a", "/b", "/c"})
            EXPECT_EQ(read_file(dst + name), std::string("new ") + name);
        EXPECT_EQ(files_named(dst, ".updater-"), std::vector<std::string>{});
        EXPECT_EQ(files_named(dst + "/.updater", "journal"), std::vector<std::string>{});
        EXPECT_EQ(read_file(dst + "/.updater/result"),
                  "installed: 3 files, 0 new folders (interrupted update completed)\n");
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
// staged file is one it may not open: the update is refused whole.
TEST(StagedTreeCopy, UnreadableStagedFileRefusesTheWholeUpdate)
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

    expect_refused(result, dst, "refused: cannot open staged secret (Permission denied)");
    EXPECT_FALSE(exists(dst + "/open.txt"));
    EXPECT_EQ(read_file(dst + "/secret"), "installed");
    EXPECT_EQ(permissions_of(dst + "/secret"), 0640u);
}

}  // namespace

namespace {

constexpr uid_t kUser = 1000;

struct stat status_of(const std::string &path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// Whatever a user who owns part of one tree does, the update gives them no
// file they did not already control, and uses nothing they could have
// written: a staged entry writable by others or owned by them refuses the
// update, a records folder they could write is not used at all.
TEST(StagedTreeCopy, NothingAnotherUserCouldWriteIsTrusted)
{
    enum Case { WorldWritableFolder, WritableFile, ForeignFile, ForeignRecords, OpenRecords };
    for (Case c : {WorldWritableFolder, WritableFile, ForeignFile, ForeignRecords, OpenRecords}) {
        SCOPED_TRACE(c);
        Sandbox sandbox;
        const std::string src = sandbox.staging(), dst = sandbox.install();
        write_file(src + "/app.conf", "new");
        write_file(dst + "/app.conf", "old");
        fs::create_directories(src + "/www");
        write_file(src + "/www/run.sh", "#!/bin/sh\n", c == WritableFile ? 0666 : 0755);
        if (c == WorldWritableFolder)
            chmod((src + "/www").c_str(), 01777);
        if (c == ForeignFile)
            chown((src + "/www/run.sh").c_str(), kUser, kUser);
        const std::string records = dst + "/.updater";
        if (c == ForeignRecords || c == OpenRecords) {
            fs::create_directories(records);
            ASSERT_EQ(c == ForeignRecords ? chown(records.c_str(), kUser, kUser)
                                          : chmod(records.c_str(), 0777),
                      0);
            write_file(records + "/result", "planted");
        }
        RUN_OR_SKIP(sandbox, result);

        EXPECT_EQ(read_file(dst + "/app.conf"), "old");
        EXPECT_FALSE(exists(dst + "/www"));
        EXPECT_EQ(result.commands.size(), 6u);
        if (c == ForeignRecords || c == OpenRecords) {
            EXPECT_EQ(read_file(records + "/result"), "planted");
            RunOptions recover;
            recover.arguments = {"--recover"};
            write_file(records + "/journal", "planted");
            EXPECT_EQ(WEXITSTATUS(sandbox.run(recover).parent_status), 1);
            EXPECT_EQ(read_file(records + "/journal"), "planted");
        } else {
            EXPECT_EQ(read_file(records + "/result").rfind("refused: staged www", 0), 0u);
            EXPECT_EQ(permissions_of(records), 0700u);
        }
    }
}

// A user who owns www/ swaps the temporary there just before the updater
// links the other name of the staged pair to it, in root's etc/: the link
// is made from the inode the updater wrote, and the swapped name is never
// put in place.
TEST(StagedTreeCopy, HardLinkSwappedByAFolderOwnerGivesThemNothing)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    for (const char *folder : {"/www", "/etc"}) {
        fs::create_directories(src + folder);
        fs::create_directories(dst + folder);
        write_file(dst + folder + "/shared.conf", "old");
    }
    write_file(src + "/www/shared.conf", "new");
    fs::create_hard_link(src + "/www/shared.conf", src + "/etc/shared.conf");
    ASSERT_EQ(chown((dst + "/www").c_str(), kUser, kUser), 0);
    const std::string planted = write_file(dst + "/www/planted", "the user's", 0666);
    ASSERT_EQ(chown(planted.c_str(), kUser, kUser), 0);
    RunOptions swap;
    swap.fault = "swap-at-link";
    swap.environment = {{"QN_SWAP_WITH", "/opt/quarnel/www/planted"}};
    RUN_OR_SKIP(sandbox, result, swap);

    for (const char *name : {"/www/shared.conf", "/etc/shared.conf"}) {
        SCOPED_TRACE(name);
        EXPECT_NE(read_file(dst + name), "the user's");
        EXPECT_EQ(status_of(dst + name).st_uid, 0u);
        EXPECT_EQ(permissions_of(dst + name), 0644u);
    }
    for (const std::string &temporary : files_named(dst, ".updater-"))
        EXPECT_NE(status_of(temporary).st_uid, kUser) << temporary;
}

// Staged libx.so -> libx.so.2 beside an unchanged libx.so.1, installed
// libx.so -> libx.so.1: writing through the installed link would give
// libx.so.1 version 2's content, and the next run would write it back.
TEST(StagedTreeCopy, InstalledLinksConvergeOnTheStagedTree)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    write_file(src + "/libx.so.1", "version 1");
    write_file(src + "/libx.so.2", "version 2");
    fs::create_symlink("libx.so.2", src + "/libx.so");
    write_file(dst + "/libx.so.1", "version 1");
    fs::create_symlink("libx.so.1", dst + "/libx.so");
    RUN_OR_SKIP(sandbox, result);

    EXPECT_EQ(read_file(dst + "/libx.so.1"), "version 1");
    EXPECT_EQ(read_file(dst + "/libx.so.2"), "version 2");
    EXPECT_EQ(read_file(dst + "/libx.so"), "version 2");
    sandbox.run();
    EXPECT_EQ(read_file(dst + "/.updater/result"), "nothing to do\n");
}

// A running program maps its libraries: replacing the file by a rename
// leaves the pages it maps as they were, whatever their mode and size.
TEST(StagedTreeCopy, LibraryInUseKeepsWhatItMapped)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    const std::string old_library = patterned(14 << 10);
    std::string new_library = old_library;
    new_library[100] ^= 0x55;
    write_file(dst + "/libsmall.so", old_library, 0644);
    write_file(src + "/libsmall.so", new_library, 0644);
    const int fd = open((dst + "/libsmall.so").c_str(), O_RDONLY);
    void *mapped = mmap(nullptr, old_library.size(), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    ASSERT_NE(mapped, MAP_FAILED);
    RUN_OR_SKIP(sandbox, result);

    EXPECT_TRUE(read_file(dst + "/libsmall.so") == new_library);
    EXPECT_TRUE(std::string(static_cast<const char *>(mapped), old_library.size()) == old_library);
    munmap(mapped, old_library.size());
}

// Started with umask 000, the program still makes nothing writable by
// others: the install root 0755, new folders with the staged folders' bits.
TEST(StagedTreeCopy, ModesDoNotFollowTheCallersUmask)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    fs::remove_all(dst);
    fs::create_directories(src + "/private/inner");
    ASSERT_EQ(chmod((src + "/private").c_str(), 0700), 0);
    ASSERT_EQ(chmod((src + "/private/inner").c_str(), 0750), 0);
    write_file(src + "/private/inner/key", "k", 0600);
    RunOptions open_umask;
    open_umask.umask = 0;
    RUN_OR_SKIP(sandbox, result, open_umask);

    EXPECT_EQ(permissions_of(dst), 0755u);
    EXPECT_EQ(permissions_of(dst + "/private"), 0700u);
    EXPECT_EQ(permissions_of(dst + "/private/inner"), 0750u);
    EXPECT_EQ(permissions_of(dst + "/private/inner/key"), 0600u);
    EXPECT_EQ(permissions_of(dst + "/.updater"), 0700u);
}

// A committed journal damaged after the cut is set aside, never acted on
// (it could name anything), and the next update installs the staged tree.
TEST(StagedTreeCopy, DamagedJournalIsSetAsideAndNeverActedOn)
{
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    for (const char *name : {"/a", "/b", "/c"}) {
        write_file(src + name, std::string("new ") + name);
        write_file(dst + name, "old");
    }
    RunOptions killed;
    killed.fault = "kill-at-rename";
    RUN_OR_SKIP(sandbox, first, killed);
    const std::string journal = dst + "/.updater/journal";
    std::string text = read_file(journal);
    ASSERT_NE(text.find("commit"), std::string::npos);
    text[text.find("\nf ") + 3] ^= 1;
    write_file(journal, text, 0600);
    const std::string before = read_file(dst + "/a") + read_file(dst + "/b") + read_file(dst + "/c");

    RunOptions recover;
    recover.arguments = {"--recover"};
    RunResult recovered = sandbox.run(recover);
    EXPECT_EQ(WEXITSTATUS(recovered.parent_status), 1);
    EXPECT_EQ(read_file(dst + "/a") + read_file(dst + "/b") + read_file(dst + "/c"), before);
    EXPECT_EQ(read_file(dst + "/.updater/journal-damaged"), text);
    EXPECT_EQ(read_file(dst + "/.updater/result").rfind("refused: damaged journal", 0), 0u);

    sandbox.run();
    for (const char *name : {"/a", "/b", "/c"})
        EXPECT_EQ(read_file(dst + name), std::string("new ") + name);
    EXPECT_EQ(WEXITSTATUS(sandbox.run(recover).parent_status), 0);
}

}  // namespace
