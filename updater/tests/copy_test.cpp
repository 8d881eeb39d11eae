// What an update run leaves in the install root.

#include "sandbox.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
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
    EXPECT_EQ(filesNamed(dst, ".updater-"), std::vector<std::string>{});
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

TEST(StagedTreeCopy, FailedWriteLeavesTheInstalledFileAndNoTemporary) {
    Sandbox sandbox;
    const std::string src = sandbox.staging(), dst = sandbox.install();
    writeFile(src + "/big.bin", patterned(2 << 20));
    writeFile(src + "/small.txt", "small");
    writeFile(dst + "/big.bin", "installed");
    RunOptions options;
    options.fileSizeLimit = 1 << 20;
    RUN_OR_SKIP(sandbox, result, options);

    EXPECT_EQ(readFile(dst + "/big.bin"), "installed");
    EXPECT_EQ(readFile(dst + "/small.txt"), "small");
    EXPECT_EQ(filesNamed(dst, ".updater-"), std::vector<std::string>{});
    EXPECT_EQ(result.commands.size(), 6u);
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
