// The byte transform that defines the encoded file, and the block form of it
// that the run uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "key_table.h"

enum class cipher_mode { encode, decode };

// Encodes or decodes one byte under one key value (0..254). The key value's
// remainder by 3 picks the operation:
//   0: encode adds k, decode subtracts it;
//   1: encode subtracts k, decode adds it;
//   2: both XOR with k.
// Results wrap modulo 256.
std::uint8_t transform_byte(cipher_mode mode, std::int32_t key, std::uint8_t byte);

// The same transform laid out per slot so that a whole block can be done with
// two branch-free operations a byte:
//   encode: out = (in ^ flip[s]) + add[s]
//   decode: out = (in - add[s]) ^ flip[s]
// where s is the slot of the byte's position.
struct block_key {
    cipher_mode mode;
    alignas(64) std::array<std::uint8_t, KEY_TABLE_SIZE> flip;
    alignas(64) std::array<std::uint8_t, KEY_TABLE_SIZE> add;
};

block_key make_block_key(cipher_mode mode, const key_table& table);

// Transforms size bytes in place; position is the file offset of data[0].
void transform_block(const block_key& key, std::uint64_t position, std::uint8_t* data,
                     std::size_t size);
