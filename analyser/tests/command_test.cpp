// The installed command end to end: output, files and error reporting.
#include "scratch.h"
#include "wav_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <sys/wait.h>

namespace analyser {
namespace {

using qn::test::ScratchDir;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

struct Result {
    int status;
    std::string out;
    std::string err;
};

// Arguments are trusted test strings; each is single-quoted for the shell.
// stdout_redirect replaces the capture of standard output ("" keeps it).
Result run_command(const ScratchDir &dir, const std::vector<std::string> &args,
                   const std::string &stdout_redirect = "")
{
    std::string command = "'" ANALYSER_PATH "'";
    for (const auto &arg : args)
        command += " '" + arg + "'";
    command += stdout_redirect.empty() ? " >'" + dir.file("stdout") + "'" : " " + stdout_redirect;
    command += " 2>'" + dir.file("stderr") + "'";
    const int raw = std::system(command.c_str());
    return Result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, qn::test::read_file(dir.file("stdout")),
                  qn::test::read_file(dir.file("stderr"))};
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Two on-bin tones in volts: A 0.5 V at bin 32, B 0.05 V at bin 100, N = 1024.
std::vector<double> two_tones()
{
    std::vector<double> frames;
    for (int i = 0; i < 1024; ++i) {
        frames.push_back(0.5 * std::cos(2 * M_PI * ((i * 32) % 1024) / 1024));
        frames.push_back(0.05 * std::cos(2 * M_PI * ((i * 100) % 1024) / 1024));
    }
    return frames;
}

TEST(Command, DefaultRunPrintsBothPeaks)
{
    ScratchDir dir;
    const Result r = run_command(dir, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "A: peak 10.00 dBm at 7.8125 MHz\nB: peak -10.00 dBm at 23.4375 MHz\n");
    EXPECT_EQ(r.err, "");
}

TEST(Command, WavAndCsvFilesGiveTheSamePeaks)
{
    ScratchDir dir;
    const auto frames = two_tones();
    testing::write_wav(dir.file("tones.wav"), 2, frames);
    std::ostringstream csv;
    csv.precision(17);
    csv << "A,B\n";
    for (std::size_t i = 0; i < frames.size(); i += 2)
        csv << frames[i] << "," << frames[i + 1] << "\n";
    qn::test::write_file(dir.file("tones.csv"), csv.str());

    // --decimation puts the WAV file on the board's clock too.
    const std::string expected =
        "A: peak 500.0000 mV at 3.9062 MHz\nB: peak 50.0000 mV at 12.2070 MHz\n";
    for (const char *file : {"tones.wav", "tones.csv"}) {
        const Result r = run_command(dir, {dir.file(file), "--length", "1024", "--unit", "volt",
                                           "--window", "flat-top", "--decimation", "1"});
        EXPECT_EQ(r.status, 0) << file << r.err;
        EXPECT_EQ(r.out, expected) << file;
    }
}

TEST(Command, WavFileRateSetsTheFrequencies)
{
    ScratchDir dir;
    testing::write_wav(dir.file("tones.wav"), 2, two_tones(), 48000);
    const std::string svg = dir.file("plot.svg");
    const std::string csv = dir.file("spectrum.csv");
    const Result r = run_command(dir, {dir.file("tones.wav"), "--length", "1024", "--unit", "volt",
                                       "--window", "flat-top", "--svg", svg, "--csv", csv});
    EXPECT_EQ(r.status, 0) << r.err;
    // Bins 32 and 100 of 1024 at 48 kHz.
    EXPECT_EQ(r.out, "A: peak 500.0000 mV at 1.5000 kHz\nB: peak 50.0000 mV at 4.6875 kHz\n");
    EXPECT_NE(qn::test::read_file(svg).find("sample rate 48000 Hz from the file"), std::string::npos);
    EXPECT_EQ(lines(qn::test::read_file(csv)).at(2).substr(0, 7), "46.875,");
}

TEST(Command, CsvOutputGoesToFileOrStandardOutput)
{
    ScratchDir dir;
    const std::string csv_file = dir.file("spectrum.csv");
    Result r = run_command(dir, {"--length", "256", "--points", "32", "--csv", csv_file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.out).size(), 2u);
    const auto rows = lines(qn::test::read_file(csv_file));
    ASSERT_EQ(rows.size(), 33u);
    EXPECT_EQ(rows[0], "frequency_Hz,A_dBm,B_dBm");
    // Group of bins 0..3, each 125 MHz / 256 apart: centre 1.5 bins.
    EXPECT_THAT(rows[1], MatchesRegex("732421\\.875,-?[0-9.e+-]+,-?[0-9.e+-]+"));

    r = run_command(dir, {"--length", "256", "--csv", "-"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.out).size(), 129u);
    EXPECT_EQ(r.err, "A: peak 10.00 dBm at 7.8125 MHz\nB: peak -10.00 dBm at 23.4375 MHz\n");

    // JSON takes standard output the same way.
    r = run_command(dir, {"--length", "256", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, MatchesRegex("\\{\n  \"input\": null,(.|\n)*\"channels\": \\{(.|\n)*\\}\n"));
    EXPECT_EQ(r.err, "A: peak 10.00 dBm at 7.8125 MHz\nB: peak -10.00 dBm at 23.4375 MHz\n");
}

TEST(Command, BadInputGivesOneErrorLineAndFailure)
{
    ScratchDir dir;
    testing::write_wav(dir.file("mono.wav"), 1, std::vector<double>(2048, 0.1));
    testing::write_wav(dir.file("short.wav"), 2, std::vector<double>(2 * 1000, 0.1));
    qn::test::write_file(dir.file("one.csv"), "A\n1\n2\n");
    qn::test::write_file(dir.file("junk.csv"), "1,2\n3,four\n");
    // An SDS dump (a format libsndfile knows) that its parser complains about
    // with printf.
    qn::test::write_file(dir.file("dump.syx"), std::string("\xf0\x7e\x00\x01\x00\x00\x08\x00"
                                                           "\x04\x71\x13\x3f\xf7",
                                                           13));
    // MPEG layer I frames with illegal bit allocations: the decoder behind
    // libsndfile writes notes on standard error.
    std::string frames;
    for (int i = 0; i < 8; ++i)
        frames += "\xff\xff\x90" + std::string(1, '\0') + std::string(412, '\xff');
    qn::test::write_file(dir.file("bad.mp3"), frames);
    const struct {
        std::vector<std::string> args;
        const char *reason;
        const char *standard_input = nullptr;  // a file in dir
    } cases[] = {
        {{dir.file("missing.wav")}, "No such file or directory"},
        {{dir.file("missing.csv")}, "No such file or directory"},
        {{dir.file("one.csv")}, "line 2: expected two numbers"},
        {{dir.file("junk.csv")}, "line 2: expected two numbers"},
        {{dir.file("mono.wav")}, "two are needed"},
        {{dir.file("dump.syx")}, "as a sound file"},
        {{dir.file("bad.mp3")}, "as a sound file"},
        {{dir.file("short.wav")}, "has 1000 samples per channel; N = 16384"},
        {{dir.file("short.wav"), "--length", "1000"}, "invalid --length '1000'"},
        {{"--length", "65536"}, "invalid --length '65536'"},
        {{"--window", "triangle"}, "invalid --window 'triangle'"},
        {{"--window", "two\nlines"}, "invalid --window 'two?lines'"},
        {{"--impedance", "0x"}, "invalid --impedance '0x'"},
        {{"--points", "3000"}, "invalid --points '3000'"},
        {{"--csv", dir.file("no/such/dir.csv")}, "cannot write"},
        {{"--overlap", "100"}, "invalid --overlap '100'"},
        {{"--overlap=-1"}, "invalid --overlap '-1'"},
        {{"--average", "0"}, "invalid --average '0'"},
        {{"--average-mode", "mode"}, "invalid --average-mode 'mode'"},
        {{"--peaks", "0"}, "invalid --peaks '0'"},
        {{"--metrics=1"}, "'--metrics' takes no value"},
        {{"--json", "--csv", "-"}, "--json and --csv - both want standard output"},
        // 1000 frames hold 6 segments of 256 every 128.
        {{dir.file("short.wav"), "--length", "256", "--average", "8"},
         "short.wav' ends inside segment 7 of 8: 1000 samples per channel, of which 6 whole "
         "segment(s) use 896; 8 segments of N = 256 overlapping by 128 need 1152"},
        {{"-", "--length", "256", "--average", "8"},
         "standard input ends inside segment 7 of 8: 1000 samples per channel",
         "short.wav"},
        {{"-", "--length", "256", "--average", "all"},
         "standard input line 2: expected two numbers",
         "junk.csv"},
        {{"-", "--length", "256"}, "standard input has 0 samples per channel", "empty.csv"},
    };
    qn::test::write_file(dir.file("empty.csv"), "");
    for (const auto &c : cases) {
        const std::string capture = ">'" + dir.file("stdout") + "'";
        const Result r = run_command(
            dir, c.args, c.standard_input ? "<'" + dir.file(c.standard_input) + "' " + capture : "");
        EXPECT_NE(r.status, 0) << c.reason;
        EXPECT_EQ(r.out, "") << c.reason;
        const auto err = lines(r.err);
        ASSERT_EQ(err.size(), 1u) << r.err;
        EXPECT_THAT(err[0], MatchesRegex("spectrum-analyser: .*")) << c.reason;
        EXPECT_THAT(err[0], HasSubstr(c.reason));
    }
}

// Output that cannot be written is a failure, never a silent loss.
TEST(Command, UnwritableStandardOutputFails)
{
    ScratchDir dir;
    const struct {
        std::vector<std::string> args;
        const char *redirect;
        const char *reason;
    } cases[] = {
        {{"--csv", "-"}, ">/dev/full", "No space left on device"},  // fails mid-CSV
        {{"--length", "256", "--csv", "-"}, ">&-", "Bad file descriptor"},
        {{"--length", "256"}, ">/dev/full", "No space left on device"},
        {{"--help"}, ">&-", "Bad file descriptor"},
    };
    for (const auto &c : cases) {
        const Result r = run_command(dir, c.args, c.redirect);
        EXPECT_EQ(r.status, 1) << c.redirect;
        EXPECT_EQ(r.err, "spectrum-analyser: cannot write to standard output: " +
                             std::string(c.reason) + "\n");
    }
    // A file opened while standard output is closed must not take its place.
    const std::string svg = dir.file("plot.svg");
    const Result r = run_command(dir, {"--length", "256", "--csv", "-", "--svg", svg}, ">&-");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(qn::test::read_file(svg).find("frequency_Hz"), std::string::npos);
}

}  // namespace
}  // namespace analyser
