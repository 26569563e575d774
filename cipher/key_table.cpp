#include "key_table.h"

namespace {

// The two's-complement reading of a password byte: 0x80..0xFF count as -128..-1.
std::int32_t signed_byte(char c)
{
    return static_cast<std::int8_t>(static_cast<unsigned char>(c));
}

}  // namespace

key_table build_key_table(std::string_view password)
{
    key_table table{};
    if (password.empty()) {
        return table;
    }
    const std::size_t length = password.size();

    // The multiplier is the third byte from the end. A one-byte password uses
    // its only byte; for a two-byte password the byte it would name lies just
    // before the password, where the preceding argument's terminator stands,
    // so it counts as 0.
    std::int32_t multiplier = 0;
    if (length >= 3) {
        multiplier = signed_byte(password[length - 3]);
    } else if (length == 1) {
        multiplier = signed_byte(password[0]);
    }
    const std::int32_t last = signed_byte(password[length - 1]);

    // |t| stays below 2^19 for every slot and byte value, so 32 bits suffice;
    // % truncates toward zero and keeps the dividend's sign before the abs.
    for (std::size_t i = 0; i < KEY_TABLE_SIZE; ++i) {
        std::int32_t t = 2 * static_cast<std::int32_t>(i) + 7;
        t += signed_byte(password[i % length]);
        t -= signed_byte(password[(i + 9) % length]);
        t *= multiplier;
        t -= last;
        t %= 255;
        table[i] = t < 0 ? -t : t;
    }
    return table;
}
