// The sound-file path: any bytes give a finite two-channel signal with a
// sample rate, or one error line, and nothing on standard output.
#include "error.h"
#include "fuzz_target.h"
#include "input.h"

#include <cmath>

namespace {
constexpr std::size_t kFrames = 64;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace analyser::fuzz;
    const Silence silence;
    const std::string path = scratch_file("in.wav", data, size);
    try {
        const analyser::Signal s = analyser::read_wav(path, kFrames);
        if (s.a.size() != s.b.size() || s.frames() > kFrames || !(s.sample_rate > 0))
            fail("inconsistent signal");
        for (std::size_t i = 0; i < s.frames(); ++i)
            if (!std::isfinite(s.a[i]) || !std::isfinite(s.b[i]))
                fail("sample not finite");
    } catch (const analyser::Error &e) {
        check_message(e.what());
    }
    return 0;
}
