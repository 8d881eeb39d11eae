// The one kind of failure the command reports: a message for the user, who
// sees it as a single "spectrum-analyser: ..." line on standard error.
#pragma once

#include <stdexcept>
#include <string>

namespace analyser {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace analyser
