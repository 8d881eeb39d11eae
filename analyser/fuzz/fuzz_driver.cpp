// A small mutation fuzzer for the targets of fuzz_target.h, built with g++
// and the sanitizers: it mutates the target's seeds at random for a given
// time, and keeps the input of a crash or a broken property in a file.
//
//   analyser_fuzz_csv [--seconds S] [--seed N]   fuzz for S seconds (default 20)
//   analyser_fuzz_csv FILE...                    run saved inputs once each
#include "fuzz_target.h"

#include <sanitizer/common_interface_defs.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <random>
#include <string_view>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace analyser::fuzz {
extern bool g_accepted;
namespace {

std::string g_input;
const char *g_name = "fuzz";

// Called on a sanitizer report, a broken property (abort) or an escaping
// exception: the input is kept for a rerun.
void keep_input()
{
    const std::string path = std::string("crash-") + g_name;
    std::ofstream(path, std::ios::binary).write(g_input.data(), std::streamsize(g_input.size()));
    std::fprintf(report_stream, "fuzz: input of %zu bytes kept in %s\n", g_input.size(),
                 path.c_str());
}

void run_one(const std::string &input)
{
    g_input = input;
    g_accepted = false;
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(g_input.data()), g_input.size());
    // Nothing may reach standard output or standard error, which point at
    // memory files.
    std::fflush(stdout);
    if (lseek(STDOUT_FILENO, 0, SEEK_CUR) > 0)
        fail("the input made something write to standard output");
    if (lseek(STDERR_FILENO, 0, SEEK_CUR) > 0)
        fail("the input made something write to standard error");
}

class Mutator {
public:
    Mutator(std::uint64_t seed, std::vector<std::string> corpus)
        : random_(seed), corpus_(std::move(corpus)), tokens_(tokens())
    {
    }

    std::string next()
    {
        std::string input = pick(corpus_);
        for (int n = 1 + below(4); n > 0; --n)
            mutate(input);
        if (input.size() > max_input_size())
            input.resize(max_input_size());
        return input;
    }

    // Accepted inputs lead deeper into the reader; the corpus stays small.
    void keep(const std::string &input)
    {
        constexpr std::size_t kMost = 512;
        if (corpus_.size() < kMost)
            corpus_.push_back(input);
        else
            corpus_[below(kMost)] = input;
    }

private:
    std::size_t below(std::size_t n) { return n == 0 ? 0 : random_() % n; }
    const std::string &pick(const std::vector<std::string> &from) { return from[below(from.size())]; }

    char interesting_byte()
    {
        static constexpr std::string_view bytes{"\0\x01\x7f\x80\xff,\n\r+-.eE0 \t", 17};
        return below(2) ? bytes[below(bytes.size())] : char(random_());
    }

    void mutate(std::string &s)
    {
        const std::size_t at = below(s.size() + 1);
        switch (below(7)) {
        case 0:  // flip a bit
            if (!s.empty())
                s[below(s.size())] ^= char(1u << below(8));
            break;
        case 1:  // set a byte
            if (!s.empty())
                s[below(s.size())] = interesting_byte();
            break;
        case 2:  // insert a byte
            s.insert(at, 1, interesting_byte());
            break;
        case 3:  // erase a run
            s.erase(at, 1 + below(16));
            break;
        case 4:  // repeat a run
            s.insert(at, s.substr(at, 1 + below(64)));
            break;
        case 5:  // insert a token
            if (!tokens_.empty())
                s.insert(at, pick(tokens_));
            break;
        default: {  // overwrite with part of another input
            const std::string &other = pick(corpus_);
            const std::size_t from = below(other.size() + 1);
            s.replace(at, 1 + below(32), other.substr(from, 1 + below(32)));
        }
        }
    }

    std::mt19937_64 random_;
    std::vector<std::string> corpus_;
    std::vector<std::string> tokens_;
};

int fuzz(double seconds, std::uint64_t seed)
{
    std::fprintf(report_stream, "fuzz: %s for %g s, seed %llu\n", g_name, seconds,
                 static_cast<unsigned long long>(seed));
    Mutator mutator(seed, seeds());
    for (const auto &input : seeds())
        run_one(input);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::size_t runs = 0, kept = 0;
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 64; ++i, ++runs) {
            const std::string input = mutator.next();
            run_one(input);
            if (g_accepted) {
                mutator.keep(input);
                ++kept;
            }
        }
    }
    std::fprintf(report_stream, "fuzz: %s: %zu inputs, %zu accepted, no fault\n", g_name, runs, kept);
    return 0;
}

int rerun(char **files)
{
    for (; *files != nullptr; ++files) {
        std::ifstream in(*files, std::ios::binary);
        if (!in) {
            std::fprintf(report_stream, "fuzz: cannot read %s\n", *files);
            return 2;
        }
        run_one(std::string(std::istreambuf_iterator<char>(in), {}));
        std::fprintf(report_stream, "fuzz: %s: no fault\n", *files);
    }
    return 0;
}

}  // namespace
}  // namespace analyser::fuzz

int main(int argc, char **argv)
{
    using namespace analyser::fuzz;
    g_name = std::strrchr(argv[0], '/') != nullptr ? std::strrchr(argv[0], '/') + 1 : argv[0];
    __sanitizer_set_death_callback(keep_input);
    on_failure = keep_input;
    std::set_terminate([] {
        keep_input();
        std::abort();
    });
    // The driver and the sanitizers report on a copy of standard error.
    const int report = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    report_stream = report >= 0 ? fdopen(report, "w") : nullptr;
    if (report_stream == nullptr) {
        std::perror("fuzz: standard error");
        return 2;
    }
    std::setvbuf(report_stream, nullptr, _IONBF, 0);
    __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<std::intptr_t>(report)));
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        const int memory = memfd_create("fuzz-output", MFD_CLOEXEC);
        if (memory < 0 || dup2(memory, fd) < 0) {
            std::perror("fuzz: memfd_create");
            return 2;
        }
        close(memory);
    }

    double seconds = 20;
    std::uint64_t seed = std::random_device{}();
    int i = 1;
    for (; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--seed") == 0)
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        else
            break;
    }
    return i < argc ? rerun(argv + i) : fuzz(seconds, seed);
}
