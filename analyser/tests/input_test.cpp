// Reading signals: CSV and WAV files, and the length check.
#include "error.h"
#include "input.h"
#include "scratch.h"
#include "wav_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <sys/stat.h>
#include <thread>

namespace analyser {
namespace {

using qn::test::ScratchDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

template <typename F>
std::string error_of(F &&call)
{
    try {
        call();
    } catch (const Error &e) {
        return e.what();
    }
    return "no error";
}

TEST(CsvReader, ReadsTwoColumnsWithOrWithoutHeader)
{
    ScratchDir dir;
    const auto plain = qn::test::write_file(dir.file("plain.csv"), "1,2\n-0.5, 3e-3\n\n+4 ,5\r\n");
    Signal s = read_csv(plain, 100);
    EXPECT_THAT(s.a, ElementsAre(1.0, -0.5, 4.0));
    EXPECT_THAT(s.b, ElementsAre(2.0, 3e-3, 5.0));

    const auto headed =
        qn::test::write_file(dir.file("headed.csv"), "\nA (V),B (V)\n1,2\n3,4\n5,6\n");
    s = read_csv(headed, 2);  // rows past the limit are checked, not kept
    EXPECT_THAT(s.a, ElementsAre(1.0, 3.0));
    EXPECT_THAT(s.b, ElementsAre(2.0, 4.0));

    // A UTF-8 byte-order mark is no part of the first line, header or data.
    for (const char *text : {"\xEF\xBB\xBF"
                             "1,2\n3,4\n",
                             "\xEF\xBB\xBF"
                             "A,B\n1,2\n3,4\n"}) {
        s = read_csv(qn::test::write_file(dir.file("bom.csv"), text), 100);
        EXPECT_THAT(s.a, ElementsAre(1.0, 3.0)) << text;
    }
}

TEST(CsvReader, RejectsRowsThatAreNotTwoNumbers)
{
    ScratchDir dir;
    const struct {
        const char *text;
        const char *line;
    } cases[] = {
        {"1,2\n3\n", "line 2"},           // one column
        {"1,2\n3,4,5\n", "line 2"},       // three columns
        {"x,y\n1,2\nnan,1\n", "line 3"},  // not finite
        {"x,y\n1,2\n1,2V\n", "line 3"},   // trailing text
        {"a,b\nc,d\n", "line 2"},         // a second header
        // A first line with a number in it is data, never a header.
        {"0.1,0.2x\n1,2\n", "line 1: expected two numbers (A,B in volts); '0.2x' is not a number"},
        {"nan,nan\n1,2\n", "line 1: 'nan' is not a finite number"},
        {"1,2,\n", "line 1: expected two numbers (A,B in volts), found 3 fields"},
        {"+-5,1\n", "line 1: expected two numbers (A,B in volts); '+-5' is not a number"},
        {"1,++5\n", "'++5' is not a number"},
        {"x,y\n1e-400,1\n", "line 2: '1e-400' is too small for a double"},
        {"1,-1e400\n", "line 1: '-1e400' is too large for a double"},
        {"0,0\r1,1\r", "line 1: carriage return inside the line"},
    };
    for (const auto &c : cases) {
        const auto path = qn::test::write_file(dir.file("bad.csv"), c.text);
        EXPECT_THAT(error_of([&] { load_signal(path, 1); }), HasSubstr(c.line)) << c.text;
    }
}

TEST(WavReader, ReturnsBothChannelsExactly)
{
    ScratchDir dir;
    const auto path = testing::write_wav(dir.file("in.wav"), 2, {0.25, -0.5, 0.125, 1.0, -1.0, 0.0});
    Signal s = read_wav(path, 10);
    EXPECT_THAT(s.a, ElementsAre(0.25, 0.125, -1.0));
    EXPECT_THAT(s.b, ElementsAre(-0.5, 1.0, 0.0));
    s = read_wav(path, 2);
    EXPECT_THAT(s.a, ElementsAre(0.25, 0.125));
}

TEST(WavReader, RejectsWrongChannelCountNonSoundFilesAndNonFiniteSamples)
{
    ScratchDir dir;
    const auto mono = testing::write_wav(dir.file("mono.wav"), 1, {0.1, 0.2, 0.3});
    EXPECT_THAT(error_of([&] { read_wav(mono, 3); }), HasSubstr("has 1 channel(s); two are needed"));
    const auto three = testing::write_wav(dir.file("three.wav"), 3, {0.1, 0.2, 0.3});
    EXPECT_THAT(error_of([&] { read_wav(three, 3); }), HasSubstr("has 3 channel(s)"));
    const auto text = qn::test::write_file(dir.file("text.wav"), "not a sound file\n");
    EXPECT_THAT(error_of([&] { read_wav(text, 3); }),
                HasSubstr("cannot read '" + text + "' as a sound file"));
    const auto nan = testing::write_wav(dir.file("nan.wav"), 2, {0.1, 0.2, 0.3, NAN});
    EXPECT_THAT(error_of([&] { read_wav(nan, 3); }), HasSubstr("frame 2: sample is not a finite"));
    EXPECT_THAT(error_of([&] { read_wav(dir.file("missing.wav"), 3); }),
                HasSubstr("No such file or directory"));

    // libsndfile's own words for these were "Internal error : SF_INFO struct
    // incomplete." and "No Error.".
    const auto no_rate = testing::write_wav(dir.file("rate0.wav"), 2, {0.1, 0.2});
    std::string bytes = qn::test::read_file(no_rate);
    bytes.replace(24, 4, 4, '\0');  // the sample rate of the fmt chunk
    qn::test::write_file(no_rate, bytes);
    EXPECT_THAT(error_of([&] { read_wav(no_rate, 1); }),
                HasSubstr("its header gives a sample rate of 0 Hz"));

    const auto whole = testing::write_wav(dir.file("whole.wav"), 2, std::vector<double>(200, 0.5));
    const std::string cut = qn::test::read_file(whole).substr(0, 300);
    const auto fifo = dir.file("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { qn::test::write_file(fifo, cut); });
    const std::string error = error_of([&] { read_wav(fifo, 100); });
    writer.join();
    EXPECT_THAT(error, HasSubstr("is cut short: it ends after"));
    EXPECT_THAT(error, HasSubstr("of the 100 frames its header gives"));
}

TEST(LoadSignal, PicksReaderByNameAndNeedsNFrames)
{
    ScratchDir dir;
    const auto csv = qn::test::write_file(dir.file("upper.CSV"), "1,2\n3,4\n5,6\n");
    EXPECT_EQ(load_signal(csv, 2).frames(), 2u);
    EXPECT_THAT(error_of([&] { load_signal(csv, 4); }),
                HasSubstr("has 3 samples per channel; N = 4 needs at least 4"));
    const auto wav = testing::write_wav(dir.file("x.wav"), 2, {1, 2, 3, 4});
    EXPECT_EQ(load_signal(wav, 2).frames(), 2u);
    EXPECT_THAT(error_of([&] { load_signal(wav, 3); }), HasSubstr("has 2 samples"));
}

}  // namespace
}  // namespace analyser
