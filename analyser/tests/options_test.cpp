// Command-line parsing and value checks.
#include "error.h"
#include "options.h"
#include "spectrum.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

namespace analyser {
namespace {

Options parse(std::vector<const char *> args)
{
    args.insert(args.begin(), "spectrum-analyser");
    return parse_options(int(args.size()), args.data());
}

std::string error_of(std::vector<const char *> args)
{
    try {
        parse(args);
    } catch (const Error &e) {
        return e.what();
    }
    return "no error";
}

TEST(Options, TakesValuesSeparateOrAfterEquals)
{
    const Options expected{.input = "in.wav",
                           .length = 1024,
                           .window = WINDOW_KAISER_8,
                           .mode = SPECTR_MODE_DBU,
                           .impedance = 75.5,
                           .decimation = 8,
                           .points = 64,
                           .csv_path = "-",
                           .svg_path = "p.svg",
                           .keep_dc = true};
    EXPECT_EQ(parse({"--length", "1024", "--window=kaiser8", "--unit", "dbu", "--impedance=75.5",
                     "--decimation", "8", "--points=64", "in.wav", "--csv", "-", "--svg", "p.svg",
                     "--keep-dc"}),
              expected);
    EXPECT_EQ(parse({}), Options{});
    EXPECT_TRUE(parse({"-h"}).help);
}

TEST(Options, EveryWindowAndUnitHasItsName)
{
    const char *windows[] = {"rectangular", "hann",    "hamming", "blackman-harris",
                             "flat-top",    "kaiser4", "kaiser8"};
    for (int mode = WINDOW_RECTANGULAR; mode <= WINDOW_KAISER_8; ++mode) {
        EXPECT_EQ(parse({"--window", windows[mode]}).window, mode);
        EXPECT_STREQ(window_name(mode), windows[mode]);
    }
    EXPECT_EQ(parse({"--unit", "volt"}).mode, SPECTR_MODE_VOLT);
    EXPECT_STREQ(unit_name(SPECTR_MODE_DBM), "dBm");
    EXPECT_STREQ(unit_name(SPECTR_MODE_VOLT), "V");
    EXPECT_STREQ(unit_name(SPECTR_MODE_DBU), "dBu");
}

TEST(Options, RejectsBadValuesWithTheirReason)
{
    using ::testing::HasSubstr;
    EXPECT_THAT(error_of({"--window", "Hann"}), HasSubstr("invalid --window 'Hann'"));
    EXPECT_THAT(error_of({"--unit", "dBm"}), HasSubstr("invalid --unit 'dBm'"));
    EXPECT_THAT(error_of({"--length", "1k"}), HasSubstr("invalid --length '1k': not an integer"));
    EXPECT_THAT(error_of({"--length="}), HasSubstr("not an integer"));
    EXPECT_THAT(error_of({"--points", "0"}), HasSubstr("must be at least 1"));
    EXPECT_THAT(error_of({"--impedance", "-50"}), HasSubstr("must be above 0 ohms"));
    EXPECT_THAT(error_of({"--impedance", "inf"}), HasSubstr("not a number"));
    EXPECT_THAT(error_of({"--impedance", "nan"}), HasSubstr("not a number"));
    EXPECT_THAT(error_of({"--impedance", "1e-400"}), HasSubstr("'1e-400': out of range"));
    EXPECT_THAT(error_of({"--points", "99999999999"}), HasSubstr("out of range"));
    EXPECT_THAT(error_of({"--decimation", "2.5"}), HasSubstr("not an integer"));
    EXPECT_THAT(error_of({"--decimation", "16777217"}), HasSubstr("from 1 to 16777216"));
    EXPECT_THAT(error_of({"--csv", ""}), HasSubstr("needs a file name"));
    EXPECT_THAT(error_of({"--svg"}), HasSubstr("'--svg' needs a value"));
    EXPECT_THAT(error_of({"--keep-dc=1"}), HasSubstr("'--keep-dc' takes no value"));
    EXPECT_THAT(error_of({"--lenght", "1024"}), HasSubstr("unknown option '--lenght'"));
    EXPECT_THAT(error_of({"a.wav", "b.wav"}), HasSubstr("more than one input file"));
    // An unset shell variable must not stand for the built-in test signal.
    EXPECT_THAT(error_of({""}), HasSubstr("empty input file name"));
}

}  // namespace
}  // namespace analyser
