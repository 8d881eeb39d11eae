#include "error.h"
#include "input.h"

#include <algorithm>
#include <cctype>

namespace analyser {
namespace {

bool has_csv_extension(const std::string &path)
{
    constexpr std::string_view ext = ".csv";
    if (path.size() < ext.size())
        return false;
    return std::equal(ext.begin(), ext.end(), path.end() - ext.size(), [](char e, char c) {
        return e == std::tolower(static_cast<unsigned char>(c));
    });
}

}  // namespace

Signal load_signal(const std::string &path, std::size_t n)
{
    Signal signal = has_csv_extension(path) ? read_csv(path, n) : read_wav(path, n);
    if (signal.frames() < n)
        throw Error("'" + path + "' has " + std::to_string(signal.frames()) +
                    " samples per channel; N = " + std::to_string(n) + " needs at least " +
                    std::to_string(n) + " (see --length)");
    return signal;
}

}  // namespace analyser
