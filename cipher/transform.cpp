#include "transform.h"

#include <algorithm>

std::uint8_t transform_byte(cipher_mode mode, std::int32_t key, std::uint8_t byte)
{
    const std::int32_t b = byte;
    std::int32_t result = 0;
    switch (key % 3) {
    case 0:
        result = mode == cipher_mode::encode ? b + key : b - key;
        break;
    case 1:
        result = mode == cipher_mode::encode ? b - key : b + key;
        break;
    default:
        result = b ^ key;
        break;
    }
    return static_cast<std::uint8_t>(result & 0xFF);
}

block_key make_block_key(cipher_mode mode, const key_table& table)
{
    block_key key{};
    key.mode = mode;
    for (std::size_t slot = 0; slot < KEY_TABLE_SIZE; ++slot) {
        const auto k = static_cast<std::uint8_t>(table[slot] & 0xFF);
        switch (table[slot] % 3) {
        case 0:
            key.add[slot] = k;
            break;
        case 1:
            key.add[slot] = static_cast<std::uint8_t>(-k);
            break;
        default:
            key.flip[slot] = k;
            break;
        }
    }
    return key;
}

namespace {

// The inner loops run over at most one period with no dependence between
// bytes, so the compiler turns them into vector code; on x86-64 Linux a
// wider variant is chosen at load time where the processor has AVX2 (the
// choice needs the ELF loader's indirect functions).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(_WIN32)
#define ZODEVIR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZODEVIR_VECTOR_CLONES
#endif

ZODEVIR_VECTOR_CLONES
void encode_run(const std::uint8_t* __restrict flip, const std::uint8_t* __restrict add,
                std::uint8_t* __restrict data, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        data[i] = static_cast<std::uint8_t>((data[i] ^ flip[i]) + add[i]);
    }
}

ZODEVIR_VECTOR_CLONES
void decode_run(const std::uint8_t* __restrict flip, const std::uint8_t* __restrict add,
                std::uint8_t* __restrict data, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        data[i] = static_cast<std::uint8_t>((data[i] - add[i]) ^ flip[i]);
    }
}

}  // namespace

void transform_block(const block_key& key, std::uint64_t position, std::uint8_t* data,
                     std::size_t size)
{
    auto* const run = key.mode == cipher_mode::encode ? encode_run : decode_run;
    std::size_t slot = static_cast<std::size_t>(position % KEY_TABLE_SIZE);
    while (size > 0) {
        const std::size_t count = std::min(size, KEY_TABLE_SIZE - slot);
        run(key.flip.data() + slot, key.add.data() + slot, data, count);
        data += count;
        size -= count;
        slot = 0;
    }
}
