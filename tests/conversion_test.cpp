#include "conversion.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(OutputNameFor, DropsTheFinalXOfAnAcceptedEndingOnly) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"e1.rtlx", "e1.rtl"},       {"maps/e1.rtcx", "maps/e1.rtc"}, {".rtlx", ".rtl"},
        {"карта.rtlx", "карта.rtl"}, {"e1.RTLX", std::nullopt},       {"e1.rtl", std::nullopt},
        {"rtlx", std::nullopt},      {"e1.rtlx.dat", std::nullopt},   {"e1.rtlx ", std::nullopt},
        {"", std::nullopt},
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
}

}  // namespace
