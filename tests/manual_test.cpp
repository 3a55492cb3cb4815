// The manual must describe every line the program can print. The lines are
// taken from the code that prints them, so a new or changed message that the
// manual does not show fails here.
#include <gtest/gtest.h>

#include "conversion.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string read_text(const char* path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The manual's text with roff font changes and escapes turned back into
// plain characters.
std::string plain_manual(const std::string& roff) {
    std::string text = std::regex_replace(roff, std::regex(R"(\\f[BIRP])"), "");
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    return std::regex_replace(text, std::regex(R"(\\&)"), "");
}

// Whether one line of `manual` holds the message, with anything at all in
// place of each "%s".
bool shows(const std::string& manual, std::string message) {
    message = std::regex_replace(message, std::regex("^\n+|\n+$"), "");
    std::string pattern;
    for (char c : message) {
        pattern += std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos
                       ? std::string("\\") + c
                       : std::string(1, c);
    }
    pattern = std::regex_replace(pattern, std::regex("%s"), "[^\n]+");
    return std::regex_search(manual, std::regex(pattern));
}

TEST(Manual, ShowsEveryMessageOfTheProgram) {
    const std::string manual = plain_manual(read_text(MAPDOWN_MANUAL));
    EXPECT_TRUE(shows(manual, usage_text));
    EXPECT_TRUE(shows(manual, close_window_prompt));
    for (const NamedOutcome& outcome : every_outcome) {
        EXPECT_TRUE(shows(manual, outcome_format(outcome.outcome))) << outcome.name;
    }
}

}  // namespace
