// The journal read back after a cut may be damaged or written by someone
// else: whatever the bytes, the parser never crashes, and a journal it
// accepts names only single path components below folders that come
// before them, temporaries of this program's own, and, once committed, the
// inode of everything a recovery would rename or remove. Each input is also read
// with a valid checksum added, so that the rules behind it are reached.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "journal.h"

namespace {

bool single_component(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool ours(const std::string &name) { return name.rfind(".updater-", 0) == 0; }

void check(const Plan &plan, bool committed)
{
    for (size_t i = 1; i < plan.dirs.size(); ++i) {
        const PlanDir &dir = plan.dirs[i];
        if (dir.parent >= i || !single_component(dir.name) || dir.mode > 07777)
            qn::fuzz::fail("folder " + std::to_string(i) + " accepted against the rules");
        const bool renamed = !dir.temporary.empty();
        if (renamed && (!ours(dir.temporary) || !single_component(dir.temporary) ||
                        (committed && dir.made == 0)))
            qn::fuzz::fail("folder temporary " + dir.temporary + " accepted");
    }
    for (const PlanFile &file : plan.files) {
        if (file.dir >= plan.dirs.size() || !single_component(file.name) ||
            !single_component(file.temporary))
            qn::fuzz::fail("file " + file.name + " accepted against the rules");
        const bool in_new_folder = plan.dirs[file.dir].is_new;
        if (in_new_folder ? file.temporary != file.name
                          : !ours(file.temporary) || (committed && file.made == 0))
            qn::fuzz::fail("file temporary " + file.temporary + " accepted");
    }
    // What a rollback removes: a single name, known by its inode; a folder
    // among the existing ones, never the root.
    for (const PlanFile &file : plan.removals)
        if (file.dir >= plan.dirs.size() || !single_component(file.name) || file.made == 0)
            qn::fuzz::fail("removal of " + file.name + " accepted against the rules");
    for (size_t i = 0; i < plan.dirs.size(); ++i)
        if (plan.dirs[i].remove && (i == 0 || plan.dirs[i].is_new || plan.dirs[i].made == 0))
            qn::fuzz::fail("removal of folder " + std::to_string(i) + " accepted");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    for (const std::string &journal : {text, seal_journal(text)}) {
        Plan plan;
        bool committed = false;
        if (parse_journal(journal, plan, committed))
            check(plan, committed);
    }
    return 0;
}
