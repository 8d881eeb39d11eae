#include "journal.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "records.h"

std::string escape(const std::string &name)
{
    std::string out;
    for (unsigned char c : name) {
        if (c <= ' ' || c == '%' || c == 0x7f) {
            char code[4];
            snprintf(code, sizeof code, "%%%02x", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

bool unescape_name(const std::string &word, std::string &name)
{
    name.clear();
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '%') {
            name += word[i];
            continue;
        }
        if (i + 2 >= word.size() || hex_digit(word[i + 1]) < 0 || hex_digit(word[i + 2]) < 0)
            return false;
        name += static_cast<char>(hex_digit(word[i + 1]) * 16 + hex_digit(word[i + 2]));
        i += 2;
    }
    return true;
}

namespace {

bool single_component(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

const char *const kHeader = "updater journal 2";
const char *const kTemporaryPrefix = ".updater-";

// FNV-1a: finds a changed or lost byte; the journal guards against
// damage, not against someone who can write the records folder.
uint64_t checksum(const std::string &text)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

bool unescape_component(const std::string &word, std::string &name)
{
    return unescape_name(word, name) && single_component(name);
}

namespace {

std::string hex(uint64_t value)
{
    char text[17];
    snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
}

bool is_temporary(const std::string &name)
{
    return name.compare(0, 9, kTemporaryPrefix) == 0 && single_component(name);
}

// A temporary is one of ours beside its name, or, inside a folder this run
// creates, the name itself.
bool valid_file(const Plan &plan, const PlanFile &file)
{
    return single_component(file.name) &&
           (plan.dirs[file.dir].is_new ? file.temporary == file.name : is_temporary(file.temporary));
}

bool valid_dir(const Plan &plan, const PlanDir &dir)
{
    const bool renamed = dir.is_new && !plan.dirs[dir.parent].is_new;
    return single_component(dir.name) && dir.mode <= 07777 &&
           (renamed ? is_temporary(dir.temporary) : dir.temporary.empty());
}

const char *const kKeptWords[] = {"replace", "drop", "restored"};

std::string kept_line(const Plan &plan)
{
    std::string line = "kept ";
    line += kKeptWords[static_cast<int>(plan.kept)];
    if (plan.kept == KeptRelease::restored) {
        line += ' ';
        line += escape(plan.taken_back);
    }
    line += '\n';
    return line;
}

bool render(const Plan &plan, bool committed, std::string &text)
{
    text = std::string(kHeader) + "\n" + (committed ? "commit\n" : "intent\n") + kept_line(plan);
    if (plan.forget_manifest)
        text += "forget manifest\n";
    for (size_t i = 1; i < plan.dirs.size(); ++i) {
        const PlanDir &dir = plan.dirs[i];
        if (dir.parent >= i || !valid_dir(plan, dir))
            return false;
        char mode[8];
        snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(dir.mode));
        text += "d " + std::to_string(dir.parent) + " " + (dir.is_new ? "1 " : "0 ") + mode + " " +
                escape(dir.name) + " " + (dir.temporary.empty() ? "/" : escape(dir.temporary)) + " " +
                std::to_string(dir.made) + "\n";
    }
    for (const PlanFile &file : plan.files) {
        if (file.dir >= plan.dirs.size() || !valid_file(plan, file))
            return false;
        text += "f " + std::to_string(file.dir) + " " + escape(file.temporary) + " " +
                escape(file.name) + " " + std::to_string(file.made) + "\n";
    }
    for (const PlanFile &file : plan.removals) {
        if (file.dir >= plan.dirs.size() || !single_component(file.name) || file.made == 0)
            return false;
        text += "r " + std::to_string(file.dir) + " " + escape(file.name) + " " +
                std::to_string(file.made) + "\n";
    }
    for (size_t i = 1; i < plan.dirs.size(); ++i)
        if (plan.dirs[i].remove)
            text += "x " + std::to_string(i) + "\n";
    text = seal_journal(text);
    return true;
}

// A committed journal must know what it renames: the inode this run made.
bool parse_dir(std::istringstream &line, Plan &plan, bool committed)
{
    PlanDir dir;
    int is_new = -1;
    std::string mode, name, temporary;
    if (!(line >> dir.parent >> is_new >> mode >> name >> temporary >> dir.made) ||
        dir.parent >= plan.dirs.size() || (is_new != 0 && is_new != 1) ||
        mode.find_first_not_of("01234567") != std::string::npos || mode.size() > 5 ||
        !unescape_component(name, dir.name) ||
        (temporary != "/" && !unescape_component(temporary, dir.temporary)))
        return false;
    dir.is_new = is_new == 1;
    dir.mode = static_cast<mode_t>(std::stoul(mode, nullptr, 8));
    if (!valid_dir(plan, dir) || (committed && !dir.temporary.empty() && dir.made == 0))
        return false;
    plan.dirs.push_back(dir);
    return true;
}

bool parse_file(std::istringstream &line, Plan &plan, bool committed)
{
    PlanFile file;
    std::string temporary, name;
    if (!(line >> file.dir >> temporary >> name >> file.made) || file.dir >= plan.dirs.size() ||
        !unescape_component(temporary, file.temporary) || !unescape_component(name, file.name) ||
        !valid_file(plan, file) || (committed && !plan.dirs[file.dir].is_new && file.made == 0))
        return false;
    plan.files.push_back(file);
    return true;
}

// A file that goes is named with the inode the update put there.
bool parse_removal(std::istringstream &line, Plan &plan)
{
    PlanFile file;
    std::string name;
    if (!(line >> file.dir >> name >> file.made) || file.dir >= plan.dirs.size() ||
        !unescape_component(name, file.name) || file.made == 0)
        return false;
    plan.removals.push_back(file);
    return true;
}

// A folder that goes: one the journal lists, not new, with its inode.
bool parse_folder_removal(std::istringstream &line, Plan &plan)
{
    size_t dir = 0;
    if (!(line >> dir) || dir == 0 || dir >= plan.dirs.size() || plan.dirs[dir].is_new ||
        plan.dirs[dir].made == 0)
        return false;
    plan.dirs[dir].remove = true;
    return true;
}

bool parse_kept(std::istringstream &line, Plan &plan)
{
    std::string word, label;
    line >> word;
    for (int kept = 0; kept < 3; ++kept)
        if (word == kKeptWords[kept])
            plan.kept = static_cast<KeptRelease>(kept);
    if (word != kKeptWords[static_cast<int>(plan.kept)])
        return false;
    return plan.kept != KeptRelease::restored ||
           ((line >> label) && unescape_name(label, plan.taken_back));
}

bool parse_entry(const std::string &line, Plan &plan, bool committed)
{
    std::istringstream words(line);
    std::string kind, rest;
    words >> kind;
    bool parsed = kind == "d"        ? parse_dir(words, plan, committed)
                  : kind == "f"      ? parse_file(words, plan, committed)
                  : kind == "r"      ? parse_removal(words, plan)
                  : kind == "x"      ? parse_folder_removal(words, plan)
                  : kind == "forget" ? (words >> kind) && kind == "manifest" &&
                                           !std::exchange(plan.forget_manifest, true)
                                     : false;
    return parsed && !(words >> rest);
}

}  // namespace

std::string seal_journal(const std::string &body)
{
    return body + "end " + hex(checksum(body)) + "\n";
}

bool unseal(const std::string &text, std::string &body)
{
    const size_t end = text.rfind("end ");
    if (end == std::string::npos || (end > 0 && text[end - 1] != '\n') ||
        text.compare(end, std::string::npos, seal_journal(text.substr(0, end)).substr(end)) != 0)
        return false;
    body = text.substr(0, end);
    return true;
}

bool parse_journal(const std::string &text, Plan &plan, bool &committed)
{
    plan = Plan();
    std::string body;
    if (!unseal(text, body))
        return false;
    std::istringstream lines(body);
    std::string line;
    if (!std::getline(lines, line) || line != kHeader || !std::getline(lines, line))
        return false;
    committed = line == "commit";
    if (!committed && line != "intent")
        return false;
    // Journals of earlier versions have no "kept" line.
    std::streampos entries = lines.tellg();
    if (std::getline(lines, line) && line.compare(0, 5, "kept ") == 0) {
        std::istringstream words(line.substr(5));
        std::string rest;
        if (!parse_kept(words, plan) || (words >> rest))
            return false;
    } else {
        lines.clear();
        lines.seekg(entries);
    }
    while (std::getline(lines, line))
        if (!parse_entry(line, plan, committed))
            return false;
    return true;
}

bool write_journal(int records, const Plan &plan, bool committed, bool &replaced)
{
    replaced = false;
    std::string text;
    if (!render(plan, committed, text)) {
        errno = EINVAL;
        return false;
    }
    return replace_record(records, kJournal, text, &replaced);
}

JournalState read_journal(int records, Plan &plan, bool &committed)
{
    Fd fd(openat(records, kJournal, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return errno == ENOENT ? JournalState::none : JournalState::unreadable;
    struct stat st;
    std::string text;
    if (fstat(fd.get(), &st) != 0 || !read_all(fd.get(), text))
        return JournalState::unreadable;
    if (!S_ISREG(st.st_mode) || !parse_journal(text, plan, committed))
        return JournalState::damaged;
    return JournalState::read;
}

bool remove_journal(int records)
{
    return unlinkat(records, kJournal, 0) == 0 && fsync(records) == 0;
}

bool set_journal_aside(int records)
{
    return renameat(records, kJournal, records, kJournalDamaged) == 0 && fsync(records) == 0;
}
