#include "journal.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <sstream>

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

std::string hex(uint64_t value)
{
    char text[17];
    snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
}

bool single_component(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

bool unescape(const std::string &word, std::string &name)
{
    return unescape_name(word, name) && single_component(name);
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

bool render(const Plan &plan, bool committed, std::string &text)
{
    text = std::string(kHeader) + "\n" + (committed ? "commit\n" : "intent\n");
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
        !unescape(name, dir.name) || (temporary != "/" && !unescape(temporary, dir.temporary)))
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
        !unescape(temporary, file.temporary) || !unescape(name, file.name) ||
        !valid_file(plan, file) || (committed && !plan.dirs[file.dir].is_new && file.made == 0))
        return false;
    plan.files.push_back(file);
    return true;
}

bool parse_entry(const std::string &line, Plan &plan, bool committed)
{
    std::istringstream words(line);
    std::string kind, rest;
    words >> kind;
    bool parsed = kind == "d"   ? parse_dir(words, plan, committed)
                  : kind == "f" ? parse_file(words, plan, committed)
                                : false;
    return parsed && !(words >> rest);
}

}  // namespace

std::string seal_journal(const std::string &body)
{
    return body + "end " + hex(checksum(body)) + "\n";
}

bool parse_journal(const std::string &text, Plan &plan, bool &committed)
{
    plan = Plan();
    const size_t end = text.rfind("end ");
    if (end == std::string::npos || (end > 0 && text[end - 1] != '\n') ||
        text.compare(end, std::string::npos, seal_journal(text.substr(0, end)).substr(end)) != 0)
        return false;
    std::istringstream lines(text.substr(0, end));
    std::string line;
    if (!std::getline(lines, line) || line != kHeader || !std::getline(lines, line))
        return false;
    committed = line == "commit";
    if (!committed && line != "intent")
        return false;
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
    unlinkat(records, kJournalNext, 0);
    Fd fd(openat(records, kJournalNext, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid())
        return false;
    bool written = write_all(fd.get(), text) && fsync(fd.get()) == 0;
    written = close(fd.release()) == 0 && written;
    if (!written || renameat(records, kJournalNext, records, kJournal) != 0) {
        const int error = errno;
        unlinkat(records, kJournalNext, 0);
        errno = error;
        return false;
    }
    replaced = true;
    return fsync(records) == 0;
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
