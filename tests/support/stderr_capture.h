// Captures what the process writes to standard error (descriptor 2, so
// also what C code and other libraries write), in a test process or a child.
#ifndef QN_TESTS_SUPPORT_STDERR_CAPTURE_H
#define QN_TESTS_SUPPORT_STDERR_CAPTURE_H

#include <functional>
#include <string>

namespace qn::test {

// From construction to finish() (or destruction) descriptor 2 is a private
// file; then it is again what it was before, closed if it was closed. Keeps
// errno. The file has no size limit, so a writer never blocks on it.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Ends the capture and closes its file; what was written meanwhile.
    std::string finish();

private:
    int file_ = -1;   // the capture file, never descriptor 2 itself
    int saved_ = -1;  // the previous descriptor 2; -1: it was closed
    bool active_ = false;
};

// Everything fn writes to standard error.
std::string capture_stderr(const std::function<void()> &fn);

}  // namespace qn::test

#endif
