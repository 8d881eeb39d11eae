// Signed releases: what a manifest and its signature let through, and the
// check of an installed tree against the kept manifest.

#include "release_keys.h"
#include "sandbox.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>

#include "../src/digest_check.h"
#include "../src/manifest.h"

namespace fs = std::filesystem;

namespace {

// Release 2.0 over an installed tree that holds an older notes.txt and
// same.txt as the release has it.
void lay_out(const Sandbox &sandbox)
{
    const std::string src = sandbox.staging(), dst = sandbox.install();
    fs::create_directories(src + "/bin");
    fs::create_directories(src + "/lib");
    fs::create_directories(src + "/.updater");
    write_file(src + "/notes.txt", "release notes 2.0\n");
    write_file(src + "/same.txt", "unchanged by the release\n");
    write_file(src + "/bin/tool", patterned(300000), 0755);
    write_file(src + "/lib/libx.so.1", "library\n");
    fs::create_symlink("libx.so.1", src + "/lib/libx.so");
    fs::create_symlink("nowhere", src + "/lib/dangling");  // listed, never installed
    write_file(dst + "/notes.txt", "release notes 1.0\n");
    write_file(dst + "/same.txt", "unchanged by the release\n");
}

// Every installed entry but the records, with its type, bits and content.
std::map<std::string, std::string> snapshot(const std::string &root)
{
    std::map<std::string, std::string> tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string rel = fs::relative(it->path(), root).string();
        if (rel == ".updater") {
            it.disable_recursion_pending();
            continue;
        }
        std::string &entry = tree[rel];
        entry = std::to_string(permissions_of(it->path()));
        if (it->is_symlink())
            entry += " link";
        else if (it->is_directory())
            entry += " dir";
        else
            entry += ' ' + read_file(it->path());
    }
    return tree;
}

void flip_a_byte(const std::string &path, size_t at)
{
    std::string data = read_file(path);
    data[at] ^= 0x20;
    write_file(path, data, permissions_of(path));
}

std::string manifest_of(Sandbox &sandbox, const std::string &version)
{
    RunOptions options;
    options.arguments = {"--manifest", "/tmp/build", version};
    options.capture_output = true;
    RunResult result = sandbox.run(options);
    return WIFEXITED(result.parent_status) && WEXITSTATUS(result.parent_status) == 0 ? result.output
                                                                                     : "";
}

class SignedRelease : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(keys_.make()) << "openssl could not make the keys";
        Sandbox sandbox;
        lay_out(sandbox);
        RUN_OR_SKIP(sandbox, probe);
        manifest_ = manifest_of(sandbox, "2.0");
        ASSERT_EQ(manifest_.rfind("updater manifest 1\nversion 2.0\nd 755 bin\n", 0), 0u)
            << manifest_;
    }

    // A fresh sandbox with the signed release staged.
    void stage(Sandbox &sandbox, const std::string &signer = "release")
    {
        lay_out(sandbox);
        write_file(sandbox.staging() + "/.updater/manifest", manifest_);
        ASSERT_TRUE(keys_.sign(signer, sandbox.staging()));
    }

    RunOptions with_keys() const
    {
        RunOptions options;
        options.keys = keys_.trusted();
        return options;
    }

    ReleaseKeys keys_;
    std::string manifest_;
};

TEST_F(SignedRelease, OnlyATreeMatchingItsSignedManifestIsInstalled)
{
    struct Case {
        const char *name;
        std::function<void(Sandbox &)> change;
        std::string result;
    };
    const std::vector<Case> cases = {
        {"as signed", [](Sandbox &) {}, "installed: 4 files, 2 new folders"},
        {"a changed byte in a copied file",
         [](Sandbox &s) { flip_a_byte(s.staging() + "/bin/tool", 200000); },
         "refused: bin/tool: content differs from the signed manifest; nothing changed"},
        {"a changed byte in a file found identical",
         [](Sandbox &s) {
             flip_a_byte(s.staging() + "/same.txt", 3);
             flip_a_byte(s.install() + "/same.txt", 3);
         },
         "refused: same.txt: content differs from the signed manifest; nothing changed"},
        {"an extra file", [](Sandbox &s) { write_file(s.staging() + "/bin/extra", "x"); },
         "refused: bin/extra: not in the signed manifest; nothing changed"},
        {"a missing file", [](Sandbox &s) { fs::remove(s.staging() + "/notes.txt"); },
         "refused: notes.txt: missing from the staged tree (listed in the signed manifest); "
         "nothing changed"},
        {"a changed mode", [](Sandbox &s) { chmod((s.staging() + "/bin/tool").c_str(), 0700); },
         "refused: bin/tool: mode differs from the signed manifest; nothing changed"},
        {"a changed link",
         [](Sandbox &s) {
             fs::remove(s.staging() + "/lib/libx.so");
             fs::create_symlink("../notes.txt", s.staging() + "/lib/libx.so");
         },
         "refused: lib/libx.so: link differs from the signed manifest; nothing changed"},
        {"a bad signature",
         [](Sandbox &s) { flip_a_byte(s.staging() + "/.updater/manifest.sig", 10); },
         "refused: the manifest's signature is not one of a trusted key; nothing changed"},
        {"an unknown key", [this](Sandbox &s) { ASSERT_TRUE(keys_.sign("other", s.staging())); },
         "refused: the manifest's signature is not one of a trusted key; nothing changed"},
        {"a lower version",
         [](Sandbox &s) {
             fs::create_directories(s.install() + "/.updater");
             chmod((s.install() + "/.updater").c_str(), 0700);
             write_file(s.install() + "/.updater/manifest", "updater manifest 1\nversion 10.0\n");
         },
         "refused: the release is older than the installed one; nothing changed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        stage(sandbox);
        c.change(sandbox);
        const auto before = snapshot(sandbox.install());
        const std::string kept_before = read_file(sandbox.install() + "/.updater/manifest");
        RUN_OR_SKIP(sandbox, result, with_keys());
        EXPECT_EQ(result.commands.size(), 6u);
        EXPECT_EQ(read_file(sandbox.install() + "/.updater/result"), c.result + "\n");
        if (c.result.rfind("installed", 0) == 0) {
            EXPECT_EQ(read_file(sandbox.install() + "/bin/tool"), patterned(300000));
            EXPECT_EQ(read_file(sandbox.install() + "/.updater/manifest"), manifest_);
        } else {
            EXPECT_EQ(snapshot(sandbox.install()), before);
            EXPECT_EQ(read_file(sandbox.install() + "/.updater/manifest"), kept_before);
            EXPECT_FALSE(exists(sandbox.install() + "/.updater/manifest-new"));
        }
    }
}

TEST_F(SignedRelease, VerifyTellsTheInstalledTreeFromTheRelease)
{
    Sandbox sandbox;
    stage(sandbox);
    RUN_OR_SKIP(sandbox, installed, with_keys());
    RunOptions again = with_keys();
    sandbox.run(again);
    EXPECT_EQ(read_file(sandbox.install() + "/.updater/result"), "nothing to do\n");

    RunOptions verify;
    verify.arguments = {"--verify"};
    verify.capture_output = true;
    auto exit_code = [](const RunResult &r) {
        return WIFEXITED(r.parent_status) ? WEXITSTATUS(r.parent_status) : -1;
    };
    RunResult good = sandbox.run(verify);
    EXPECT_EQ(exit_code(good), 0);
    EXPECT_EQ(good.output, "");

    flip_a_byte(sandbox.install() + "/bin/tool", 4096);
    chmod((sandbox.install() + "/notes.txt").c_str(), 0600);
    fs::remove(sandbox.install() + "/same.txt");
    RunResult bad = sandbox.run(verify);
    EXPECT_EQ(exit_code(bad), 1);
    EXPECT_EQ(bad.output, "changed bin/tool\nmode notes.txt\nmissing same.txt\n");

    fs::remove(sandbox.install() + "/.updater/manifest");
    RunResult none = sandbox.run(verify);
    EXPECT_EQ(exit_code(none), 2);
    EXPECT_EQ(none.output, "updater: no installed release's manifest is kept\n");

    verify.arguments = {"--manifest", "/tmp/no-such-tree", "1"};
    RunResult unreadable = sandbox.run(verify);
    EXPECT_EQ(exit_code(unreadable), 2);
    EXPECT_EQ(unreadable.output,
              "updater: cannot open /tmp/no-such-tree (No such file or directory)\n");
}

TEST(ManifestFormat, ParserHoldsEveryLineToItsRules)
{
    const std::string head = "updater manifest 1\nversion 1.2\n";
    const std::string digest(64, 'a');
    Manifest manifest;
    std::string why;
    ASSERT_TRUE(
        parse_manifest(head + "d 755 a\nf 644 3 " + digest + " a/b%20c\nl ../x a/d\n", manifest, why))
        << why;
    EXPECT_EQ(manifest.entries.at("a/b c").size, 3u);
    EXPECT_EQ(manifest.entries.at("a/d").target, "../x");
    for (const std::string &bad : std::vector<std::string>{
             "updater manifest 2\nversion 1\n",              // another format
             "updater manifest 1\nversion 1..2\n",           // no version
             head + "f 644 3 " + digest + " b/c\n",          // not inside a listed folder
             head + "d 755 b\nd 755 a\n",                    // not sorted
             head + "d 755 a\nd 755 a\n",                    // twice
             head + "d 755 a/../b\n",                        // a ".." component
             head + "d 755 .updater\n",                      // the reserved folder
             head + "d 755 /a\n",                            // absolute
             head + "f 644 3 " + digest.substr(1) + " a\n",  // short digest
             head + "d 19777 a\n",                           // mode out of range
             head + "p 644 a\n",                             // unknown type
             head + "d 755 a",                               // no line end
         })
        EXPECT_FALSE(parse_manifest(bad, manifest, why)) << bad;
    std::vector<uint64_t> a, b;
    ASSERT_TRUE(parse_version("1.10", a) && parse_version("1.9.5", b));
    EXPECT_GT(compare_versions(a, b), 0);
    ASSERT_TRUE(parse_version("2", a) && parse_version("2.0.0", b));
    EXPECT_EQ(compare_versions(a, b), 0);
}

}  // namespace

namespace {

// Pieces of many sizes, files whose digest is right or wrong, files
// dropped halfway: the first wrong file in hand-over order is named, and
// nothing dropped counts.
TEST(ManifestFormat, ContentIsCheckedBehindTheReadsInOrder)
{
    const std::string data = patterned(3 << 20);
    const auto digest_of = [](const std::string &text) {
        Sha256 hash;
        hash.add(text.data(), text.size());
        return hash.hex();
    };
    const size_t sizes[] = {0,      1, 4096, DigestCheck::kPieceBytes, DigestCheck::kPieceBytes + 1,
                            3 << 20};
    for (int wrong : {-1, 0, 3, 40}) {
        SCOPED_TRACE(wrong);
        DigestCheck check;
        for (int file = 0; file < 48; ++file) {
            const std::string content = data.substr(0, sizes[file % 6]);
            for (size_t at = 0; at < content.size(); at += DigestCheck::kPieceBytes) {
                const size_t size = std::min(DigestCheck::kPieceBytes, content.size() - at);
                memcpy(check.piece(), content.data() + at, size);
                check.add(size);
            }
            if (file % 7 == 6) {
                check.drop_file();  // read again later, whole
                continue;
            }
            check.end_file(file == wrong || file == 44 ? std::string(64, '0') : digest_of(content),
                           "file" + std::to_string(file));
        }
        const int first = wrong >= 0 ? wrong : 44;
        EXPECT_EQ(check.finish(), content_differs("file" + std::to_string(first)));
    }
}

}  // namespace
