// The key table: 1024 key values derived from the password alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Number of slots; the byte at position p uses slot p mod KEY_TABLE_SIZE.
inline constexpr std::size_t KEY_TABLE_SIZE = 1024;

// Each slot holds a key value in 0..254 once built.
using key_table = std::array<std::int32_t, KEY_TABLE_SIZE>;

// Derives the table from the password's raw bytes, each read as a signed
// 8-bit value whatever the signedness of plain char. The password must not be
// empty: callers refuse an empty one before asking for a table (an empty
// password yields an all-zero table here rather than dividing by zero).
key_table build_key_table(std::string_view password);
