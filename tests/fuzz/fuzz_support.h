// What every fuzz target may use (linked in by qn_add_fuzzer).
#ifndef QN_TESTS_FUZZ_FUZZ_SUPPORT_H
#define QN_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <string>

namespace qn::fuzz {

// Reports a broken property of the current input and aborts: libFuzzer
// then keeps the input, and the replay names no further one.
[[noreturn]] void fail(const std::string &what);

// While one exists, standard output and standard error point at memory
// files; finish() puts them back and returns what was written there.
// Reports of fail() and of the sanitizers still reach the real standard
// error.
class OutputCapture {
public:
    struct Written {
        std::string out;
        std::string err;
    };
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;
    Written finish();

private:
    bool finished_ = false;
};

}  // namespace qn::fuzz

#endif
