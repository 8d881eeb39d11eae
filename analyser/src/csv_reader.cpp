#include "error.h"
#include "input.h"
#include "source.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <streambuf>
#include <unistd.h>
#include <string_view>
#include <vector>

namespace analyser {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// One comma-separated field. A number is what from_chars takes in full,
// after at most one '+' (strtod's sign); infinity, NaN and values out of
// range are numbers too, which keeps such a first line from passing for a
// header.
struct Field {
    enum Kind { kNumber, kNotANumber, kOutOfRange };
    std::string_view text;
    Kind kind;
    double value;
};

Field parse_field(std::string_view raw)
{
    const std::string_view text = trim(raw);
    std::string_view digits = text;
    if (digits.size() > 1 && digits[0] == '+' && digits[1] != '-' && digits[1] != '+')
        digits.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec == std::errc::invalid_argument || end != digits.data() + digits.size())
        return {text, Field::kNotANumber, 0};
    if (ec == std::errc::result_out_of_range)
        return {text, Field::kOutOfRange, 0};
    return {text, Field::kNumber, value};
}

std::vector<Field> parse_fields(std::string_view line)
{
    std::vector<Field> fields;
    for (std::size_t start = 0;;) {
        const auto comma = line.find(',', start);
        fields.push_back(parse_field(line.substr(start, comma - start)));
        if (comma == std::string_view::npos)
            return fields;
        start = comma + 1;
    }
}

bool is_header(const std::vector<Field> &fields)
{
    for (const auto &field : fields)
        if (field.kind != Field::kNotANumber)
            return false;
    return true;
}

// Field text for an error line: short.
std::string quoted(std::string_view text)
{
    constexpr std::size_t kLongest = 40;
    std::string out = "'";
    out.append(text.substr(0, kLongest));
    out.append(text.size() > kLongest ? "...'" : "'");
    return out;
}

class LineError {
public:
    LineError(const std::string &name, std::size_t number)
        : prefix_(name + " line " + std::to_string(number) + ": ")
    {
    }
    Error operator()(const std::string &what) const { return Error(prefix_ + what); }

private:
    std::string prefix_;
};

constexpr const char *kExpected = "expected two numbers (A,B in volts)";

double checked_value(const Field &field, const LineError &error)
{
    switch (field.kind) {
    case Field::kNotANumber:
        throw error(std::string(kExpected) + "; " + quoted(field.text) + " is not a number");
    case Field::kOutOfRange: {
        // strtod tells overflow (infinity) from underflow (zero).
        const bool large = std::isinf(std::strtod(std::string(field.text).c_str(), nullptr));
        throw error(quoted(field.text) +
                    (large ? " is too large for a double (largest about 1.8e308)"
                           : " is too small for a double (smallest about 4.9e-324); write 0"));
    }
    case Field::kNumber: break;
    }
    if (!std::isfinite(field.value))
        throw error(quoted(field.text) + " is not a finite number");
    return field.value;
}

// Standard input read through our own buffer, which starts with the bytes
// already taken to tell the format.
class DescriptorBuffer : public std::streambuf {
public:
    DescriptorBuffer(int fd, std::string prefix) : fd_(fd), buffer_(std::move(prefix))
    {
        setg(buffer_.data(), buffer_.data(), buffer_.data() + buffer_.size());
    }
    int error() const { return error_; }

private:
    static constexpr std::size_t kSize = 65536;

    int_type underflow() override
    {
        if (buffer_.size() < kSize)
            buffer_.resize(kSize);
        ssize_t got;
        do
            got = ::read(fd_, buffer_.data(), buffer_.size());
        while (got < 0 && errno == EINTR);
        if (got <= 0) {
            if (got < 0)
                error_ = errno;
            return traits_type::eof();
        }
        setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
        return traits_type::to_int_type(buffer_[0]);
    }

    int fd_;
    std::string buffer_;
    int error_ = 0;
};

class CsvSource : public FrameSource {
public:
    explicit CsvSource(const std::string &path) : name_(input_name(path))
    {
        auto file = std::make_unique<std::ifstream>(path);
        if (!*file)
            throw Error("cannot open '" + path + "': " + std::strerror(errno));
        in_ = std::move(file);
    }
    CsvSource(int fd, std::string prefix)
        : name_("standard input"), stdin_(std::make_unique<DescriptorBuffer>(fd, std::move(prefix))),
          in_(std::make_unique<std::istream>(stdin_.get()))
    {
    }

    std::size_t read(double *a, double *b, std::size_t count) override
    {
        std::size_t done = 0;
        while (done < count && next(a[done], b[done]))
            ++done;
        return done;
    }

    void finish() override
    {
        double a, b;
        while (next(a, b)) {
        }
    }

    std::string name() const override { return name_; }

private:
    bool next(double &a, double &b);

    std::string name_;
    std::unique_ptr<DescriptorBuffer> stdin_;
    std::unique_ptr<std::istream> in_;
    std::string line_;
    std::size_t number_ = 0;
    bool header_allowed_ = true;
    bool ended_ = false;
};

bool CsvSource::next(double &a, double &b)
{
    while (!ended_ && std::getline(*in_, line_)) {
        ++number_;
        std::string_view text = line_;
        if (number_ == 1 && text.starts_with(kByteOrderMark))
            text.remove_prefix(kByteOrderMark.size());
        text = trim(text);
        if (text.empty())
            continue;
        const LineError error(name_, number_);
        if (text.find('\r') != std::string_view::npos)
            throw error("carriage return inside the line: lines must end in LF or CR LF, "
                        "not in CR alone");
        const auto fields = parse_fields(text);
        // Only the first line with any text may be a header.
        const bool header = header_allowed_ && is_header(fields);
        header_allowed_ = false;
        if (header)
            continue;
        if (fields.size() != 2)
            throw error(std::string(kExpected) + ", found " + std::to_string(fields.size()) +
                        (fields.size() == 1 ? " field" : " fields"));
        a = checked_value(fields[0], error);
        b = checked_value(fields[1], error);
        return true;
    }
    if (!ended_) {
        ended_ = true;
        const int failure = stdin_ ? stdin_->error() : errno;
        if (in_->bad() || (stdin_ && failure != 0))
            throw Error("cannot read " + name_ + ": " + std::strerror(failure));
    }
    return false;
}

}  // namespace

std::unique_ptr<FrameSource> open_csv(const std::string &path)
{
    return std::make_unique<CsvSource>(path);
}

std::unique_ptr<FrameSource> open_csv_stdin(std::string prefix)
{
    return std::make_unique<CsvSource>(STDIN_FILENO, std::move(prefix));
}

Signal read_csv(const std::string &path, std::size_t max_frames)
{
    CsvSource source(path);
    Signal signal;
    double a, b;
    while (signal.frames() < max_frames && source.read(&a, &b, 1) == 1) {
        signal.a.push_back(a);
        signal.b.push_back(b);
    }
    // Every line is checked, also those past the frames kept.
    source.finish();
    return signal;
}

}  // namespace analyser
