// The option parser: NUL-separated arguments give options within their
// ranges or one error line.
#include "error.h"
#include "fuzz_target.h"
#include "options.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace analyser::fuzz;
    const Silence silence;
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
    } catch (const analyser::Error &e) {
        check_message(e.what());
    }
    return 0;
}
