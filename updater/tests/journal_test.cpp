// The journal is read back after a cut, maybe damaged, maybe written by
// someone else: only a whole, well-formed journal naming single path
// components is ever acted on.

#include <gtest/gtest.h>

#include "../src/journal.h"

namespace {

std::string with_checksum(const std::string &body) { return seal_journal(body); }

const std::string kGood = "updater journal 2\ncommit\n"
                          "d 0 1 750 www .updater-ab-d1 12\n"
                          "d 1 1 755 apps / 0\n"
                          "f 0 .updater-ab-0 a%20b 34\n"
                          "f 2 index.html index.html 0\n";

TEST(Journal, ReadsBackWhatItWrites)
{
    Plan plan;
    bool committed = false;
    ASSERT_TRUE(parse_journal(with_checksum(kGood), plan, committed));
    EXPECT_TRUE(committed);
    ASSERT_EQ(plan.dirs.size(), 3u);
    EXPECT_EQ(plan.dirs[1].temporary, ".updater-ab-d1");
    EXPECT_EQ(plan.dirs[1].mode, 0750u);
    EXPECT_EQ(plan.dirs[1].made, 12u);
    ASSERT_EQ(plan.files.size(), 2u);
    EXPECT_EQ(plan.files[0].name, "a b");
    EXPECT_EQ(plan.files[0].made, 34u);
    EXPECT_EQ(plan.kept, KeptRelease::replace);

    const std::string rollback = "updater journal 2\nintent\nkept restored release%202.0\n"
                                 "forget manifest\nd 0 0 755 www / 9\n"
                                 "f 1 .updater-ab-0 a 0\nr 1 b 35\nx 1\n";
    ASSERT_TRUE(parse_journal(with_checksum(rollback), plan, committed));
    EXPECT_EQ(plan.kept, KeptRelease::restored);
    EXPECT_EQ(plan.taken_back, "release 2.0");
    EXPECT_TRUE(plan.forget_manifest);
    EXPECT_TRUE(plan.dirs[1].remove);
    ASSERT_EQ(plan.removals.size(), 1u);
    EXPECT_EQ(plan.removals[0].name, "b");
    EXPECT_EQ(plan.removals[0].made, 35u);
}

// Each line breaks one rule; all but the first two carry a valid checksum,
// so the rule itself must catch them.
TEST(Journal, RefusesEveryJournalThatBreaksARule)
{
    const std::string header = "updater journal 2\ncommit\n";
    const struct {
        const char *what;
        std::string text;
    } cases[] = {
        {"a changed byte",
         [] {
             std::string text = with_checksum(kGood);
             text[40] ^= 1;
             return text;
         }()},
        {"cut short", with_checksum(kGood).substr(0, 60)},
        {"a slash in a name", with_checksum(header + "f 0 .updater-ab-0 ..%2f..%2fetc%2fpasswd 3\n")},
        {"a name that climbs", with_checksum(header + "f 0 .updater-ab-0 .. 3\n")},
        {"a NUL in a name", with_checksum(header + "f 0 .updater-ab-0 a%00b 3\n")},
        {"a temporary not of ours", with_checksum(header + "f 0 passwd shadow 3\n")},
        {"a committed rename without its inode", with_checksum(header + "f 0 .updater-ab-0 a 0\n")},
        {"a folder before its parent", with_checksum(header + "d 1 1 755 www .updater-ab-d1 5\n")},
        {"a folder renamed inside a new one",
         with_checksum(header + "d 0 1 755 a .updater-ab-d1 5\nd 1 1 755 b .updater-ab-d2 6\n")},
        {"a mode out of range", with_checksum(header + "d 0 0 77777 www / 0\n")},
        {"a word too many", with_checksum(header + "f 0 .updater-ab-0 a 3 extra\n")},
        {"an unknown record", with_checksum(header + "q 0 a 5\n")},
        {"an unknown fate of the kept release", with_checksum(header + "kept maybe\n")},
        {"a removal without its inode", with_checksum(header + "r 0 a 0\n")},
        {"a removal of a path", with_checksum(header + "r 0 a%2fb 7\n")},
        {"the root removed", with_checksum(header + "x 0\n")},
        {"a new folder removed", with_checksum(header + "d 0 1 755 w .updater-ab-d1 5\nx 1\n")},
        {"a removed folder without its inode", with_checksum(header + "d 0 0 755 w / 0\nx 1\n")},
        {"the previous format", "updater journal 1\ncommit\nf 0 .updater-ab-0 a\nend\n"},
        {"a bad escape", with_checksum(header + "f 0 .updater-ab-0 a%zz 3\n")},
    };
    for (const auto &[what, text] : cases) {
        Plan plan;
        bool committed;
        EXPECT_FALSE(parse_journal(text, plan, committed)) << what;
    }
}

}  // namespace
