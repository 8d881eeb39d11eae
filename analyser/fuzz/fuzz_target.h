// What the analyser's fuzz targets share. Each target defines
// LLVMFuzzerTestOneInput; libFuzzer or the replay main calls it.
#ifndef QN_ANALYSER_FUZZ_FUZZ_TARGET_H
#define QN_ANALYSER_FUZZ_FUZZ_TARGET_H

#include "fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace analyser::fuzz {

// Writes the data to a scratch file of this name, replacing what it held,
// and returns its path.
std::string scratch_file(const char *name, const std::uint8_t *data, std::size_t size);

using qn::fuzz::fail;

// Checks that an error message says something.
void check_message(const char *message);

// For its lifetime standard output and standard error are captured; the
// code under test may write nothing to either.
class Silence {
public:
    ~Silence();

private:
    qn::fuzz::OutputCapture capture_;
};

}  // namespace analyser::fuzz

#endif
