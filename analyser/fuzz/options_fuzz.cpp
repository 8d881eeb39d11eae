// The option parser: NUL-separated arguments give options within their
// ranges or one error line.
#include "error.h"
#include "fuzz_target.h"
#include "options.h"

#include <cmath>

namespace analyser::fuzz {

std::vector<std::string> seeds()
{
    using namespace std::string_literals;
    return {"--length\0"
            "1024\0--window=hann"s,
            "--unit\0volt\0--csv\0-\0in.wav"s,
            "--impedance=75.5\0--decimation\0"
            "8\0--points=64\0--keep-dc\0--svg\0p.svg"s,
            "-h"s};
}

std::vector<std::string> tokens()
{
    using namespace std::string_literals;
    return {
        "--length"s, "--window"s,  "--unit"s, "--impedance"s, "--decimation"s, "--points"s, "--csv"s,
        "--svg"s,    "--keep-dc"s, "--help"s, "="s,           "\0"s,           "-"s,        "16384"s,
        "1e-400"s,   "nan"s,       "-1"s,     "2147483648"s,  "16777216"s,     "kaiser8"s,  "dbu"s};
}

std::size_t max_input_size() { return 512; }

}  // namespace analyser::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace analyser::fuzz;
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> args{"spectrum-analyser"};
    for (std::size_t start = 0; start <= text.size() && args.size() < 32;) {
        const auto end = std::min(text.find('\0', start), text.size());
        args.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::vector<const char *> argv;
    for (const auto &arg : args)
        argv.push_back(arg.c_str());
    try {
        const analyser::Options o = analyser::parse_options(int(argv.size()), argv.data());
        if (!(o.impedance > 0) || !std::isfinite(o.impedance) || o.decimation < 0 ||
            o.decimation > (1 << 24) || o.points < 0)
            fail("option value out of range");
        accepted();
    } catch (const analyser::Error &e) {
        check_message(e.what());
    }
    return 0;
}
