// The date-time and archive-name matchers agree with the regular expressions
// that define them, on random texts made of the characters that matter.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>

#include "selection/explorer.h"
#include "time/datetime.h"

namespace zentrail {
namespace {

std::string random_text(std::mt19937& rng, const std::string& alphabet, int max_length) {
    std::string text(std::uniform_int_distribution<int>(0, max_length)(rng), ' ');
    for (char& c : text) c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
    return text;
}

TEST(Patterns, DateTimeFindsTheLeftmostMatchOfItsPattern) {
    const std::regex pattern(DATETIME_PATTERN, std::regex::ECMAScript);
    std::mt19937 rng(7);
    for (int round = 0; round < 20000; ++round) {
        const std::string text = random_text(rng, "0123456789012345678901234567890123456789-: T\n\r\x80", 40);
        std::cmatch m;
        const bool found = std::regex_search(text.c_str(), m, pattern);
        const DateTime bound(text.c_str());
        ASSERT_EQ(bound.valid, found) << testing::PrintToString(text);
        if (!found) continue;
        const int fields[6] = {bound.year, bound.month, bound.day, bound.hour, bound.minute, bound.second};
        for (int i = 0; i < 6; ++i) ASSERT_EQ(fields[i], std::stoi(m.str(i + 1))) << testing::PrintToString(text);
    }
}

TEST(Patterns, ArchiveDayIsTheLeftmostMatchOfTheNamePattern) {
    const std::regex pattern(ARCHIVE_NAME_PATTERN, std::regex::ECMAScript);
    std::mt19937 rng(11);
    const std::string pieces[] = {"2024-03-01", "_", ".vlx", "/", "\n", "\r", "x", "2023-1", "-", "9", ".v"};
    for (int round = 0; round < 20000; ++round) {
        std::string path;
        for (int k = std::uniform_int_distribution<int>(0, 8)(rng); k > 0; --k)
            path += pieces[std::uniform_int_distribution<std::size_t>(0, std::size(pieces) - 1)(rng)];
        std::cmatch m;
        const bool found = std::regex_search(path.c_str(), m, pattern);
        const char* day = Explorer::find_day(path.c_str());
        ASSERT_EQ(day != nullptr, found) << testing::PrintToString(path);
        if (found) ASSERT_EQ(day - path.c_str(), m.position(1)) << testing::PrintToString(path);
    }
}

}  // namespace
}  // namespace zentrail
