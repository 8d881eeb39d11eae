// The one kind of failure the command reports: a message for the user, who
// sees it as a single "spectrum-analyser: ..." line on standard error.
#ifndef QN_ANALYSER_ERROR_H
#define QN_ANALYSER_ERROR_H

#include <stdexcept>
#include <string>

namespace analyser {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The text with control characters (line breaks in a file name or an
// option value) shown as '?', so that a message stays one line.
inline std::string one_line(std::string text)
{
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return text;
}

}  // namespace analyser

#endif
