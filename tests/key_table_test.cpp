#include "key_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::int64_t s(char c)
{
    return static_cast<signed char>(c);
}

// The table written as one closed formula, in 64-bit arithmetic, for lengths
// of three bytes or more: slot i = |x| mod 255 with
// x = (2i + 7 + s(P[i mod L]) - s(P[(i + 9) mod L])) * s(P[L - 3]) - s(P[L - 1]).
key_table closed_form(const std::string& p)
{
    key_table table{};
    const std::size_t n = p.size();
    for (std::size_t i = 0; i < KEY_TABLE_SIZE; ++i) {
        const std::int64_t x =
            (2 * static_cast<std::int64_t>(i) + 7 + s(p[i % n]) - s(p[(i + 9) % n])) * s(p[n - 3]) -
            s(p[n - 1]);
        table[i] = static_cast<std::int32_t>(std::llabs(x) % 255);
    }
    return table;
}

std::string varied_password(std::size_t length, unsigned seed)
{
    std::string p(length, '\0');
    std::uint32_t state = seed;
    for (auto& c : p) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 23);
    }
    return p;
}

TEST(KeyTable, WorkedValuesForTarns)
{
    // Worked by hand: slot 0 = |(7 + 't' - 's') * 'r' - 's'| mod 255 = 797 mod 255.
    const key_table t = build_key_table("tarns");
    EXPECT_EQ(t[0], 32);
    EXPECT_EQ(t[1], 235);  // (9 + 'a' - 't') * 'r' - 's' = -1255
    EXPECT_EQ(t[2], 17);   // (11 + 'r' - 'a') * 'r' - 's' = 3077
}

TEST(KeyTable, HighBytesCountAsNegative)
{
    // (7 + s(0x80) - s(0x80)) * s(0x80) - s(0xFF) = 7 * -128 + 1 = -895,
    // -895 rem 255 = -130, so 130; an unsigned reading would give 131.
    const key_table t = build_key_table("\x80\x01\xff");
    EXPECT_EQ(t[0], 130);
}

TEST(KeyTable, OneBytePasswordFollowsItsFormula)
{
    for (const char c : {'a', 'Z', '\x01', '\x7f', '\x80', '\xff', '\xc3'}) {
        const key_table t = build_key_table(std::string(1, c));
        for (std::size_t i = 0; i < KEY_TABLE_SIZE; ++i) {
            const std::int64_t x = (2 * static_cast<std::int64_t>(i) + 6) * s(c);
            ASSERT_EQ(t[i], std::llabs(x) % 255) << "byte " << int(c) << " slot " << i;
        }
    }
}

TEST(KeyTable, TwoBytePasswordTakesTheMultiplierAsZero)
{
    const struct {
        std::string password;
        std::int32_t every_slot;
    } cases[] = {
        {"ab", 98},    // |s('b')|
        {"a\xff", 1},  // |s(0xFF)| = |-1|
        {"\x01\x80", 128},
        {"zz", 122},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("password " + ::testing::PrintToString(c.password));
        const key_table t = build_key_table(c.password);
        for (std::size_t i = 0; i < KEY_TABLE_SIZE; ++i) {
            EXPECT_EQ(t[i], c.every_slot) << "slot " << i;
        }
    }
}

TEST(KeyTable, MatchesTheClosedFormAndStaysInRange)
{
    std::vector<std::string> passwords = {"tarns", "abc", "\xff\xff\xff", "\x80\x80\x80\x80",
                                          "correct horse battery staple"};
    for (const std::size_t length : {3u, 4u, 7u, 255u, 1023u, 1024u, 1032u, 1033u, 1034u, 1100u}) {
        for (unsigned seed = 1; seed <= 4; ++seed) {
            passwords.push_back(varied_password(length, seed));
        }
    }
    for (const auto& p : passwords) {
        const key_table t = build_key_table(p);
        EXPECT_EQ(t, closed_form(p)) << "length " << p.size();
        for (const std::int32_t k : t) {
            ASSERT_GE(k, 0);
            ASSERT_LE(k, 254);
        }
    }
}

TEST(KeyTable, LongPasswordReadsOnlyTheBytesItReaches)
{
    std::string p = varied_password(1500, 7);
    p[p.size() - 3] = '\x01';  // multiplier 1, so one step in x changes the slot
    const key_table before = build_key_table(p);

    std::string far = p;
    far[1200] = static_cast<char>(far[1200] ^ 0x55);  // beyond i + 9 for every slot
    EXPECT_EQ(build_key_table(far), before);

    std::string reached = p;
    reached[1032] = static_cast<char>(reached[1032] + 1);  // slot 1023's second pick
    const key_table changed = build_key_table(reached);
    EXPECT_NE(changed[1023], before[1023]);
    for (std::size_t i = 0; i < 1023; ++i) {
        if (i % 1500 != 1032 && (i + 9) % 1500 != 1032) {
            ASSERT_EQ(changed[i], before[i]) << "slot " << i;
        }
    }
}

}  // namespace
