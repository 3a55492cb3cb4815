#include "conversion.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(OutputNameFor, DropsTheFinalXOfAnAcceptedEndingOnly) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"e1.rtlx", "e1.rtl"},         {"maps/e1.rtcx", "maps/e1.rtc"}, {".rtlx", ".rtl"},
        {"карта.rtlx", "карта.rtl"},   {"e1.RTLX", std::nullopt},       {"e1.rtl", std::nullopt},
        {"e1.rtlX", std::nullopt},     {"e1.rTcx", std::nullopt},       {"rtlx", std::nullopt},
        {"e1.rtlx.dat", std::nullopt}, {"e1.rtlx ", std::nullopt},      {"", std::nullopt},
    };
    for (const auto& [input, output] : cases) {
        EXPECT_EQ(output_name_for(input), output) << input;
    }
}

// The lines every front end shows, the name made safe in each.
TEST(OutcomeLine, EachOutcomeHasItsLineWithTheNameShownSafely) {
    const std::string name = "a\n\x1b[2J.rtl";
    const std::pair<Outcome, std::string> cases[] = {
        {Outcome::written, "Successfully wrote \"a\\n\\x1b[2J.rtl\" to disk.\n"},
        {Outcome::cannot_read, "Warning: Couldn't open \"a\\n\\x1b[2J.rtl\" for reading!\n"},
        {Outcome::not_an_archive,
         "Warning: \"a\\n\\x1b[2J.rtl\" is not a valid RTLX or RTCX file!\n"},
        {Outcome::no_map_array,
         "Warning: Couldn't determine map array offset in \"a\\n\\x1b[2J.rtl\"!\n"},
        {Outcome::out_of_memory, "Warning: Not enough memory to convert \"a\\n\\x1b[2J.rtl\"!\n"},
        {Outcome::cannot_create, "Warning: Couldn't open \"a\\n\\x1b[2J.rtl\" for writing!\n"},
        {Outcome::cannot_write, "Warning: Couldn't write \"a\\n\\x1b[2J.rtl\" to disk!\n"},
        {Outcome::wrong_ending,
         "Error: Input filename doesn't end in .rtlx or .rtcx so I'm stupid and don't know what to "
         "do!\n"},
    };
    for (const auto& [outcome, line] : cases) {
        EXPECT_EQ(outcome_line(outcome, name), line);
        EXPECT_EQ(outcome_is_problem(outcome), outcome != Outcome::written);
    }
    EXPECT_EQ(outcome_of(ArchiveStatus::not_an_archive), Outcome::not_an_archive);
    EXPECT_EQ(outcome_of(ArchiveStatus::no_map_array), Outcome::no_map_array);
    EXPECT_EQ(outcome_of(ArchiveStatus::out_of_memory), Outcome::out_of_memory);
    EXPECT_EQ(outcome_of(InputStatus::cannot_open), Outcome::cannot_read);
    EXPECT_EQ(outcome_of(InputStatus::not_regular_file), Outcome::not_an_archive);
    EXPECT_EQ(outcome_of(SaveStatus::saved), Outcome::written);
    EXPECT_EQ(outcome_of(SaveStatus::cannot_create), Outcome::cannot_create);
    EXPECT_EQ(outcome_of(SaveStatus::cannot_put_in_place), Outcome::cannot_create);
    EXPECT_EQ(outcome_of(SaveStatus::cannot_write), Outcome::cannot_write);
}

// Valid UTF-8 stands; every byte of what is not shows as \xHH, each on its
// own, at either end of a name as inside it.
TEST(ShownName, BytesThatAreNotValidUtf8ShowAsEscapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"\xe0\xa0\x80\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
         "\xe0\xa0\x80\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},  // U+0800, U+FFFD, U+10000,
                                                                       // U+10FFFF
        {"\xe0\x80\x80", "\\xe0\\x80\\x80"},                           // overlong
        {"\xc1\xbf\xf5\x80", "\\xc1\\xbf\\xf5\\x80"},                  // never a lead byte
        {"a\xe2\x82", "a\\xe2\\x82"},                                  // cut short at the end
        {"\xc2\x9f\xc2\xa0\x7f", "\\u009f\xc2\xa0\\x7f"},
        {"\x01"
         "a\x1f",
         "\\x01a\\x1f"},  // control characters at either end
        {"a\xc2\x80", "a\\u0080"},
    };
    for (const auto& [name, shown] : cases) {
        EXPECT_EQ(shown_name(name), shown) << shown;
    }
}

}  // namespace
