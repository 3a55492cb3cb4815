// The manual must describe every line the program can print. The lines are
// taken from the program's source, so a new or changed message that the
// manual does not show fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string read_text(const char* path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The string literals of C++ source, adjacent ones joined, C escapes undone;
// comments are skipped.
std::vector<std::string> string_literals(const std::string& source) {
    std::vector<std::string> literals;
    bool joining = false;
    for (std::size_t at = 0; at < source.size(); ++at) {
        if (source.compare(at, 2, "//") == 0) {
            at = source.find('\n', at);
            joining = false;
        } else if (source[at] == '\'') {
            at = source.find('\'', at + (source[at + 1] == '\\' ? 3 : 2));
        } else if (source[at] == '"') {
            std::string text;
            for (++at; source[at] != '"'; ++at) {
                if (source[at] == '\\') {
                    ++at;
                    text += source[at] == 'n' ? '\n' : source[at];
                } else {
                    text += source[at];
                }
            }
            if (joining) {
                literals.back() += text;
            } else {
                literals.push_back(text);
            }
            joining = true;
        } else if (!std::isspace(static_cast<unsigned char>(source[at]))) {
            joining = false;
        }
        if (at == std::string::npos) {
            break;
        }
    }
    return literals;
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
    std::size_t messages = 0;
    const std::string messages_source =
        read_text(MAPDOWN_MESSAGES_HEADER) + read_text(MAPDOWN_MESSAGES);
    for (const std::string& literal : string_literals(messages_source)) {
        if (std::regex_search(literal, std::regex("^(\nUsage|Warning|Error|Successfully|Press)"))) {
            ++messages;
            EXPECT_TRUE(shows(manual, literal)) << literal;
        }
    }
    // The usage text, six warnings, the error, the success line, and the
    // prompt of a window Explorer opened.
    EXPECT_EQ(messages, 10u);
}

}  // namespace
