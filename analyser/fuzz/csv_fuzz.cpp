// The CSV reader against a reading of the same format with strtod: both
// must accept the same files, with the same values, and reject the same
// line.
#include "error.h"
#include "fuzz_target.h"
#include "input.h"

#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace analyser::fuzz {
namespace {

constexpr std::size_t kKept = 8;

struct Expected {
    std::size_t bad_line = 0;  // 0: the file is accepted
    std::vector<double> a, b;
};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view text)
{
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

enum class Kind { kNotANumber, kInvalid, kValid };

// strtod skips leading white space and reads hexadecimal; neither makes a
// CSV number. An X elsewhere, as in "nan(X)", is no hexadecimal prefix.
bool hexadecimal(std::string_view field)
{
    if (!field.empty() && (field.front() == '+' || field.front() == '-'))
        field.remove_prefix(1);
    return field.starts_with("0x") || field.starts_with("0X");
}

Kind classify(std::string_view field, double &value)
{
    field = trim(field);
    if (field.empty() || std::isspace(static_cast<unsigned char>(field.front())) ||
        hexadecimal(field))
        return Kind::kNotANumber;
    const std::string text(field);
    char *end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size())
        return Kind::kNotANumber;
    const bool lost = errno == ERANGE && (value == 0 || std::isinf(value));
    return lost || !std::isfinite(value) ? Kind::kInvalid : Kind::kValid;
}

Expected expected_reading(std::string_view file)
{
    Expected e;
    bool header_allowed = true;
    for (std::size_t number = 1; !file.empty() || number == 1; ++number) {
        const auto end = file.find('\n');
        std::string_view line = file.substr(0, end);
        file = end == std::string_view::npos ? std::string_view{} : file.substr(end + 1);
        if (number == 1 && line.starts_with("\xEF\xBB\xBF"))
            line.remove_prefix(3);
        line = trim(line);
        if (line.empty())
            continue;
        if (line.find('\r') != std::string_view::npos) {
            e.bad_line = number;
            return e;
        }
        std::vector<Kind> kinds;
        std::vector<double> values;
        for (std::size_t start = 0;;) {
            const auto comma = line.find(',', start);
            double value = 0;
            kinds.push_back(classify(line.substr(start, comma - start), value));
            values.push_back(value);
            if (comma == std::string_view::npos)
                break;
            start = comma + 1;
        }
        bool header = header_allowed;
        for (const Kind kind : kinds)
            header = header && kind == Kind::kNotANumber;
        header_allowed = false;
        if (header)
            continue;
        if (kinds.size() != 2 || kinds[0] != Kind::kValid || kinds[1] != Kind::kValid) {
            e.bad_line = number;
            return e;
        }
        e.a.push_back(values[0]);
        e.b.push_back(values[1]);
    }
    return e;
}

bool same(const std::vector<double> &got, const std::vector<double> &want)
{
    const std::size_t n = std::min(want.size(), kKept);
    return got.size() == n &&
           (n == 0 || std::memcmp(got.data(), want.data(), n * sizeof(double)) == 0);
}

}  // namespace
}  // namespace analyser::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace analyser::fuzz;
    const Silence silence;
    const std::string path = scratch_file("in.csv", data, size);
    const Expected want =
        expected_reading(std::string_view(reinterpret_cast<const char *>(data), size));
    try {
        const analyser::Signal got = analyser::read_csv(path, kKept);
        if (want.bad_line != 0)
            fail("accepted, but strtod finds line " + std::to_string(want.bad_line) + " bad");
        if (!same(got.a, want.a) || !same(got.b, want.b))
            fail("values differ from strtod's");
    } catch (const analyser::Error &e) {
        check_message(e.what());
        const std::string line = "' line " + std::to_string(want.bad_line) + ": ";
        if (want.bad_line == 0 || std::strstr(e.what(), line.c_str()) == nullptr)
            fail(std::string("rejected as '") + e.what() + "', strtod finds " +
                 (want.bad_line == 0 ? std::string("no bad line")
                                     : "line " + std::to_string(want.bad_line) + " bad"));
    }
    return 0;
}
