// What each fuzz target provides, and what the driver offers it. A target
// is also a libFuzzer target: it defines LLVMFuzzerTestOneInput.
#ifndef QN_ANALYSER_FUZZ_FUZZ_TARGET_H
#define QN_ANALYSER_FUZZ_FUZZ_TARGET_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace analyser::fuzz {

// Inputs the mutations start from, and byte strings worth inserting.
std::vector<std::string> seeds();
std::vector<std::string> tokens();
// Largest input the driver builds.
std::size_t max_input_size();

// Writes the data to a scratch file of this name, replacing what it held,
// and returns its path.
std::string scratch_file(const char *name, const std::uint8_t *data, std::size_t size);

// Reports a broken property of the current input and aborts, after calling
// on_failure (the driver's: it keeps the input).
[[noreturn]] void fail(const std::string &what);
extern void (*on_failure)();
// Where fail reports (the driver keeps standard error for the target).
extern std::FILE *report_stream;

// The input was accepted: the driver may mutate it further.
void accepted();

// Checks that an error message says something.
void check_message(const char *message);

}  // namespace analyser::fuzz

#endif
