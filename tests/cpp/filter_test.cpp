// The selection of one read: signal codes and the time window.
#include "selection/filter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using zentrail::ADATETIME;
using zentrail::Filter;

constexpr const char* kStart = "2024-03-01 00:00:00";
constexpr const char* kEnd = "2024-03-01 23:59:59";
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

struct Query {
    int id;
    int index;
    bool has_id;
    bool has_index;
};

struct CodeSetCase {
    std::vector<int32_t> codes;
    std::vector<Query> queries;
};

TEST(FilterCodes, AnswersForListedCodeSets) {
    const CodeSetCase cases[] = {
        {{}, {{12, 3, false, false}, {0, 0, false, false}, {-1, 0, false, false}}},
        {{12291}, {{12, 3, true, true}, {12, 0, true, false}, {13, 3, false, false}, {0, 3, false, false}}},
        {{12288, 12291}, {{12, 0, true, true}, {12, 3, true, true}, {12, 1, true, false}, {12, 1024, true, false}}},
        {{-5}, {{0, -5, true, true}, {0, 5, true, false}, {-1, -5, false, false}}},
        {{-1}, {{0, -1, true, true}, {0, 1023, true, false}, {-1, 1023, false, false}}},
        {{-1024}, {{-1, 0, true, true}, {0, 0, false, false}, {-1, -1024, true, false}}},
        {{-1025}, {{-1, -1, true, true}, {-2, 1023, false, false}}},
        {{1023, 1024}, {{0, 1023, true, true}, {1, 0, true, true}, {1, 1023, true, false}}},
        {{kMin}, {{-2097152, 0, true, true}, {0, 0, false, false}}},
        {{kMax}, {{2097151, 1023, true, true}, {2097151, 0, true, false}, {2097152, 0, false, false}}},
        {{65535 * 1024 + 1023}, {{65535, 1023, true, true}, {65536, 0, false, false}}},
        {{65536 * 1024}, {{65536, 0, true, true}, {0, 0, false, false}, {65535, 0, false, false}}},
    };
    for (const CodeSetCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "first code " << (c.codes.empty() ? 0 : c.codes[0]));
        Filter f(kStart, kEnd);
        for (int32_t code : c.codes) ASSERT_TRUE(f.addId(code));
        EXPECT_TRUE(f.isValid());
        EXPECT_EQ(f.isEmpty(), c.codes.empty());
        for (const Query& q : c.queries) {
            SCOPED_TRACE(::testing::Message() << "id " << q.id << " index " << q.index);
            EXPECT_EQ(f.hasId(q.id), q.has_id);
            EXPECT_EQ(f.hasIndex(q.id, q.index), q.has_index);
        }
    }
}

TEST(FilterCodes, KeepsTheFirst256OfMany) {
    Filter f(kStart, kEnd);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(f.addId(i * 1024 + i % 7), i < 256) << "code number " << i;
    EXPECT_TRUE(f.isValid());
    EXPECT_FALSE(f.isEmpty());
    EXPECT_EQ(f.code_count(), 256);
    EXPECT_TRUE(f.hasIndex(255, 255 % 7));
    EXPECT_FALSE(f.hasId(256));
    EXPECT_FALSE(f.hasIndex(299, 299 % 7));
}

TEST(FilterCodes, DuplicatesTakePlaces) {
    Filter f(kStart, kEnd);
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(f.addId(12291));
    EXPECT_FALSE(f.addId(0));
    EXPECT_EQ(f.code_count(), 256);
    EXPECT_TRUE(f.hasIndex(12, 3));
    EXPECT_FALSE(f.hasId(0));
}

// Draws codes from the regions where id and index arithmetic can go wrong.
int32_t random_code(std::mt19937& rng) {
    auto in = [&rng](int64_t lo, int64_t hi) {
        return static_cast<int32_t>(std::uniform_int_distribution<int64_t>(lo, hi)(rng));
    };
    switch (in(0, 5)) {
        case 0: return in(0, 20 * 1024);                               // a few small ids
        case 1: return in(-3 * 1024, 0);                               // negative codes
        case 2: return in(int64_t{kMax} - 3000, kMax);                 // near 2^31
        case 3: return in(kMin, int64_t{kMin} + 3000);                 // near -2^31
        case 4: return in(65534 * 1024, 65538 * 1024);                 // around the last 16-bit id
        default: return in(kMin, kMax);
    }
}

TEST(FilterCodes, AgreesWithAPlainScanOverRandomCodeSets) {
    std::mt19937 rng(20240301);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        Filter f(kStart, kEnd);
        std::vector<int32_t> stored;
        const int n = std::uniform_int_distribution<int>(0, 280)(rng);
        for (int i = 0; i < n; ++i) {
            const int32_t code = random_code(rng);
            if (f.addId(code)) stored.push_back(code);
        }
        ASSERT_EQ(stored.size(), static_cast<std::size_t>(n < 256 ? n : 256));
        auto scan = [&stored](int id, bool any_index, int index) {
            for (int32_t c : stored)
                if (c / 1024 == id && (any_index || c % 1024 == index)) return true;
            return false;
        };
        std::vector<std::pair<int, int>> queries;
        for (int32_t c : stored) {
            for (int d = -1; d <= 1; ++d) queries.emplace_back(c / 1024 + d, c % 1024 + d);
        }
        const int edges[] = {0, -1, 65535, 65536, 1 << 20, kMin / 1024, kMax / 1024, kMin, kMax};
        for (int id : edges) queries.emplace_back(id, 0);
        for (int i = 0; i < 40; ++i) queries.emplace_back(random_code(rng), random_code(rng) % 1024);
        for (const auto& [id, index] : queries) {
            ASSERT_EQ(f.hasId(id), scan(id, true, 0)) << "hasId(" << id << ")";
            ASSERT_EQ(f.hasIndex(id, index), scan(id, false, index)) << "hasIndex(" << id << ", " << index << ")";
            if (id < 0 || id > 65535) continue;
            // The exporter's walk over a signal's selected indices, highest first.
            std::set<int, std::greater<int>> expected;
            for (int32_t c : stored)
                if (c / 1024 == id && c % 1024 >= 0) expected.insert(c % 1024);
            std::vector<int> listed;
            const Filter::CodeRange range = f.selected_codes_of(static_cast<uint16_t>(id));
            for (const int32_t* c = range.last; c != range.first;) listed.push_back(*--c - range.base);
            ASSERT_EQ(listed, std::vector<int>(expected.begin(), expected.end())) << "selected_codes_of(" << id << ")";
        }
    }
}

ADATETIME at(int y, int mo, int d, int h, int mi, int s, int ns = 0) { return ADATETIME{y, mo, d, h, mi, s, ns}; }

struct WindowCase {
    const char* start;
    const char* end;
    ADATETIME t;
    bool inside;
};

TEST(FilterWindow, HasDateNeedsBothBounds) {
    const WindowCase cases[] = {
        {kStart, kEnd, at(2024, 3, 1, 0, 0, 0), true},
        {kStart, kEnd, at(2024, 3, 1, 23, 59, 59, 999999999), true},
        {kStart, kEnd, at(2024, 2, 29, 23, 59, 59, 999999999), false},
        {kStart, kEnd, at(2024, 3, 2, 0, 0, 0), false},
        {kEnd, kStart, at(2024, 3, 1, 12, 0, 0), false},  // swapped bounds
        {kEnd, kStart, at(2024, 3, 1, 0, 0, 0), false},
        {kEnd, kStart, at(2024, 3, 1, 23, 59, 59), false},
        {"", kEnd, at(2024, 3, 1, 12, 0, 0), false},
        {"yesterday", kEnd, at(2000, 1, 1, 0, 0, 0), false},
        {kStart, "2024-03-01", at(2024, 3, 1, 0, 0, 0), false},
        {kStart, kStart, at(2024, 3, 1, 0, 0, 0, 500), true},
    };
    for (const WindowCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        Filter f(c.start, c.end);
        EXPECT_TRUE(f.isValid());
        EXPECT_EQ(f.hasDate(c.t), c.inside);
    }
}

// has_instant must answer as hasDate does on the breakdown, for any bounds
// (fields out of their calendar range included) and at the window's edges.
TEST(FilterWindow, HasInstantAgreesWithHasDateOfTheBreakdown) {
    std::mt19937_64 rng(20261209);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto bound = [&] {
        char text[32];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", pick(1999, 2585), pick(0, 13),
                      pick(0, 32), pick(0, 25), pick(0, 60), pick(0, 61));
        return std::string(text);
    };
    auto breakdown = [](uint64_t ns) {
        ADATETIME t;
        const zentrail::GTSTAMP stamp{ns};
        zentrail::decode_timestamp(&t, &stamp);
        return t;
    };
    for (int round = 0; round < 2000; ++round) {
        const std::string start = round % 50 == 0 ? "none" : bound();
        const std::string end = round % 7 == 0 ? start : bound();
        Filter f(start.c_str(), end.c_str());
        SCOPED_TRACE(start + " .. " + end);
        // Probes at random and around where each bound's answer changes
        // (found by bisecting that bound's own test).
        std::vector<uint64_t> probes = {0, 1, UINT64_MAX, UINT64_MAX - 1};
        for (int i = 0; i < 20; ++i) probes.push_back(rng());
        const zentrail::DateTime first(start.c_str()), last(end.c_str());
        for (bool rising : {true, false}) {
            auto test = [&](uint64_t ns) { return rising ? first.lte(breakdown(ns)) : !last.gte(breakdown(ns)); };
            uint64_t lo = 0, hi = UINT64_MAX;
            while (lo < hi) {
                const uint64_t mid = lo + (hi - lo) / 2;
                (test(mid) ? hi : lo) = test(mid) ? mid : mid + 1;
            }
            for (uint64_t d : {0ULL, 1ULL, 999999999ULL, 1000000000ULL}) {
                probes.push_back(lo - d);
                probes.push_back(lo + d);
            }
        }
        for (uint64_t ns : probes) ASSERT_EQ(f.has_instant(ns), f.hasDate(breakdown(ns))) << "ns " << ns;
    }
}

}  // namespace
