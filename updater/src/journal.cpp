#include "journal.h"

#include <cerrno>
#include <cstdio>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const kJournal = "journal";
const char *const kJournalNext = "journal-new";
const char *const kHeader = "updater journal 1";
const char *const kData = "data";

// Names hold any byte but '/' and NUL: the journal keeps one word per name.
std::string escape(const std::string &name)
{
    std::string out;
    for (unsigned char c : name) {
        if (c <= ' ' || c == '%' || c == 0x7f) {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool unescape(const std::string &word, std::string &name)
{
    name.clear();
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '%') {
            name += word[i];
            continue;
        }
        unsigned value;
        if (i + 2 >= word.size() || sscanf(word.c_str() + i + 1, "%2x", &value) != 1)
            return false;
        name += static_cast<char>(value);
        i += 2;
    }
    return !name.empty();
}

std::string render(const Plan &plan, bool committed)
{
    std::string text = std::string(kHeader) + "\n" + (committed ? "commit\n" : "intent\n");
    for (size_t i = 1; i < plan.dirs.size(); ++i) {
        const PlanDir &dir = plan.dirs[i];
        text += "d " + std::to_string(dir.parent) + " " + (dir.is_new ? "1 " : "0 ") +
                escape(dir.name) + " " + (dir.temporary.empty() ? "/" : escape(dir.temporary)) + "\n";
    }
    for (const PlanFile &file : plan.files)
        text += file.in_place ? "r " + std::to_string(file.dir) + " " + std::to_string(file.data_at) +
                                    " " + std::to_string(file.size) + " " + escape(file.name) + "\n"
                              : "f " + std::to_string(file.dir) + " " + escape(file.temporary) + " " +
                                    escape(file.name) + "\n";
    return text + "end\n";
}

bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool read_all(int fd, std::string &text)
{
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buffer, static_cast<size_t>(n));
    }
}

bool parse_dir(std::istringstream &line, Plan &plan)
{
    PlanDir dir;
    int is_new;
    std::string name, temporary;
    if (!(line >> dir.parent >> is_new >> name >> temporary) || dir.parent >= plan.dirs.size() ||
        !unescape(name, dir.name) || (temporary != "/" && !unescape(temporary, dir.temporary)))
        return false;
    dir.is_new = is_new == 1;
    plan.dirs.push_back(dir);
    return true;
}

bool parse_file(std::istringstream &line, Plan &plan)
{
    PlanFile file;
    std::string temporary, name;
    if (!(line >> file.dir >> temporary >> name) || file.dir >= plan.dirs.size() ||
        !unescape(temporary, file.temporary) || !unescape(name, file.name))
        return false;
    plan.files.push_back(file);
    return true;
}

bool parse_rewrite(std::istringstream &line, Plan &plan)
{
    PlanFile file;
    std::string name;
    if (!(line >> file.dir >> file.data_at >> file.size >> name) || file.dir >= plan.dirs.size() ||
        file.size < 0 || !unescape(name, file.name))
        return false;
    file.in_place = true;
    file.is_new = false;
    plan.files.push_back(file);
    return true;
}

bool parse_entry(const std::string &kind, std::istringstream &words, Plan &plan)
{
    if (kind == "d")
        return parse_dir(words, plan);
    if (kind == "f")
        return parse_file(words, plan);
    return kind == "r" && parse_rewrite(words, plan);
}

bool parse(const std::string &text, Plan &plan, bool &committed)
{
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kHeader || !std::getline(lines, line))
        return false;
    committed = line == "commit";
    if (!committed && line != "intent")
        return false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "end")
            return true;
        if (!parse_entry(kind, words, plan))
            return false;
    }
    return false;
}

}  // namespace

bool write_journal(int records, const Plan &plan, bool committed)
{
    unlinkat(records, kJournalNext, 0);
    int fd = openat(records, kJournalNext, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool written = write_all(fd, render(plan, committed)) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (!written || renameat(records, kJournalNext, records, kJournal) != 0) {
        unlinkat(records, kJournalNext, 0);
        return false;
    }
    return fsync(records) == 0;
}

bool read_journal(int records, Plan &plan, bool &committed, bool &malformed)
{
    malformed = false;
    unlinkat(records, kJournalNext, 0);
    int fd = openat(records, kJournal, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string text;
    malformed = !read_all(fd, text) || !parse(text, plan, committed);
    close(fd);
    return true;
}

bool remove_journal(int records)
{
    return unlinkat(records, kJournal, 0) == 0 && fsync(records) == 0;
}

int create_journal_data(int records)
{
    return openat(records, kData, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int open_journal_data(int records)
{
    return openat(records, kData, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

void remove_journal_data(int records) { unlinkat(records, kData, 0); }

bool journal_data_exists(int records)
{
    struct stat st;
    return fstatat(records, kData, &st, AT_SYMLINK_NOFOLLOW) == 0;
}
