#include "error.h"
#include "input.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>

namespace analyser {
namespace {

std::string_view trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::optional<double> parse_number(std::string_view text)
{
    text = trim(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value))
        return std::nullopt;
    return value;
}

struct Row {
    double a;
    double b;
};

std::optional<Row> parse_row(std::string_view line)
{
    const auto comma = line.find(',');
    if (comma == std::string_view::npos)
        return std::nullopt;
    const auto a = parse_number(line.substr(0, comma));
    const auto b = parse_number(line.substr(comma + 1));
    if (!a || !b)
        return std::nullopt;
    return Row{*a, *b};
}

Error bad_line(const std::string &path, std::size_t number)
{
    return Error("'" + path + "' line " + std::to_string(number) +
                 ": expected two numbers (A,B in volts)");
}

}  // namespace

Signal read_csv(const std::string &path, std::size_t max_frames)
{
    std::ifstream in(path);
    if (!in)
        throw Error("cannot open '" + path + "': " + std::strerror(errno));

    Signal signal;
    std::string line;
    std::size_t number = 0;
    bool header_allowed = true;
    while (std::getline(in, line)) {
        ++number;
        if (trim(line).empty())
            continue;
        const auto row = parse_row(line);
        // Only the first line with any text may be a header.
        const bool header = !row && header_allowed;
        header_allowed = false;
        if (header)
            continue;
        if (!row)
            throw bad_line(path, number);
        if (signal.frames() < max_frames) {
            signal.a.push_back(row->a);
            signal.b.push_back(row->b);
        }
    }
    if (in.bad())
        throw Error("cannot read '" + path + "': " + std::strerror(errno));
    return signal;
}

}  // namespace analyser
