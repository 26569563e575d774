#include "transform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace {

TEST(TransformByte, WorkedValues)
{
    const struct {
        cipher_mode mode;
        std::int32_t key;
        int in;
        int out;
    } cases[] = {
        {cipher_mode::encode, 0, 77, 77},       {cipher_mode::decode, 0, 77, 77},
        {cipher_mode::encode, 9, 250, 3},       {cipher_mode::decode, 9, 3, 250},
        {cipher_mode::encode, 4, 3, 255},       {cipher_mode::decode, 4, 255, 3},
        {cipher_mode::encode, 5, 0x10, 0x15},   {cipher_mode::decode, 5, 0x15, 0x10},
        {cipher_mode::encode, 3, 0xFE, 0x01},   {cipher_mode::decode, 1, 0xFF, 0x00},
        {cipher_mode::encode, 254, 0xFF, 0x01}, {cipher_mode::encode, 253, 0x80, 0x83},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode == cipher_mode::encode ? "encode" : "decode") + " " +
                     std::to_string(c.in) + " under key " + std::to_string(c.key));
        EXPECT_EQ(transform_byte(c.mode, c.key, static_cast<std::uint8_t>(c.in)), c.out)
            << "key " << c.key << " byte " << c.in;
    }
}

TEST(TransformByte, DecodeUndoesEncodeForEveryKeyAndByte)
{
    for (std::int32_t k = 0; k <= 254; ++k) {
        for (int b = 0; b < 256; ++b) {
            const auto byte = static_cast<std::uint8_t>(b);
            const auto enc = transform_byte(cipher_mode::encode, k, byte);
            const auto dec = transform_byte(cipher_mode::decode, k, byte);
            ASSERT_EQ(transform_byte(cipher_mode::decode, k, enc), byte) << "k " << k;
            ASSERT_EQ(transform_byte(cipher_mode::encode, k, dec), byte) << "k " << k;
        }
    }
}

std::vector<std::uint8_t> expected(cipher_mode mode, const key_table& table, std::uint64_t position,
                                   const std::vector<std::uint8_t>& in)
{
    std::vector<std::uint8_t> out(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        out[i] = transform_byte(mode, table[(position + i) % KEY_TABLE_SIZE], in[i]);
    }
    return out;
}

// Every key value class and every key value appear in this table.
key_table every_key_value()
{
    key_table t{};
    for (std::size_t i = 0; i < KEY_TABLE_SIZE; ++i) {
        t[i] = static_cast<std::int32_t>((i * 7) % 255);
    }
    return t;
}

TEST(TransformBlock, AgreesWithTransformByteForEverySlotByteAndAlignment)
{
    const key_table tables[] = {every_key_value(), build_key_table("tarns"),
                                build_key_table("\x80\xfe\x7f\x01")};
    // 256 periods in which byte p is (p + p / 1024) mod 256: each slot meets
    // each byte value once.
    std::vector<std::uint8_t> data(256 * KEY_TABLE_SIZE);
    for (std::size_t p = 0; p < data.size(); ++p) {
        data[p] = static_cast<std::uint8_t>(p + p / KEY_TABLE_SIZE);
    }
    for (const auto& table : tables) {
        for (const cipher_mode mode : {cipher_mode::encode, cipher_mode::decode}) {
            const block_key key = make_block_key(mode, table);
            for (const std::uint64_t position : {0ull, 1ull, 511ull, 1023ull, 1024ull, 4097ull,
                                                 (1ull << 32) + 3, (1ull << 63) + 1000}) {
                std::vector<std::uint8_t> block = data;
                transform_block(key, position, block.data(), block.size());
                ASSERT_EQ(block, expected(mode, table, position, data)) << "position " << position;
            }
        }
    }
}

TEST(TransformBlock, AnyStartAndLength)
{
    const key_table table = build_key_table("block lengths");
    std::vector<std::uint8_t> data(3 * KEY_TABLE_SIZE + 17);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    for (const cipher_mode mode : {cipher_mode::encode, cipher_mode::decode}) {
        const block_key key = make_block_key(mode, table);
        for (std::uint64_t position = 0; position < KEY_TABLE_SIZE; ++position) {
            for (const std::size_t length : {0u, 1u, 15u, 1023u, 1024u, 1025u, 3089u}) {
                std::vector<std::uint8_t> in(data.begin(),
                                             data.begin() + static_cast<std::ptrdiff_t>(length));
                std::vector<std::uint8_t> block = in;
                transform_block(key, position, block.data(), block.size());
                ASSERT_EQ(block, expected(mode, table, position, in))
                    << "position " << position << " length " << length;
            }
        }
    }
}

}  // namespace
