// The cipher's entry points for WebAssembly. The JavaScript side owns all
// memory past __heap_base: it places the password and the data there itself,
// so nothing here allocates. One key is current at a time; the loader swaps
// keys in and out through the table.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "key_table.h"
#include "transform.h"

extern "C" unsigned char __heap_base;

namespace {

key_table current_table{};
block_key current_key{};

// Zeroes memory in a way the optimiser may not drop as a dead store.
void wipe(void* data, std::size_t size)
{
    auto* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
}

// The table is built on the stack and copied out; these two keep apart so
// that the second, called from the same depth, overwrites what the first
// left there.
__attribute__((noinline)) void build_into(key_table& table, std::string_view password)
{
    table = build_key_table(password);
}

__attribute__((noinline)) void scrub_stack()
{
    volatile unsigned char area[2 * sizeof(key_table)];
    for (auto& byte : area) {
        byte = 0;
    }
}

}  // namespace

extern "C" {

// The first byte the JavaScript side may use as its own.
__attribute__((export_name("zv_heap_base"))) std::uintptr_t zv_heap_base()
{
    return reinterpret_cast<std::uintptr_t>(&__heap_base);
}

// Where the current key's table lies (KEY_TABLE_SIZE signed 32-bit slots).
__attribute__((export_name("zv_table"))) std::int32_t* zv_table()
{
    return current_table.data();
}

// Builds the current table from the size bytes at password; the caller
// wipes those bytes. Returns 0, or -1 for an empty password.
__attribute__((export_name("zv_build_table"))) int zv_build_table(const char* password,
                                                                  std::size_t size)
{
    if (size == 0) {
        return -1;
    }
    build_into(current_table, std::string_view(password, size));
    scrub_stack();
    return 0;
}

// Lays the current table out for the block transform in one direction
// (0 encode, 1 decode).
__attribute__((export_name("zv_select"))) void zv_select(int decode)
{
    current_key =
        make_block_key(decode != 0 ? cipher_mode::decode : cipher_mode::encode, current_table);
}

// Transforms size bytes at data in place; slot is the file position of
// data[0] modulo KEY_TABLE_SIZE.
__attribute__((export_name("zv_transform"))) void zv_transform(std::uint8_t* data, std::size_t size,
                                                               std::uint32_t slot)
{
    transform_block(current_key, slot, data, size);
}

// Forgets the current key.
__attribute__((export_name("zv_wipe"))) void zv_wipe()
{
    wipe(&current_table, sizeof current_table);
    wipe(&current_key, sizeof current_key);
}
}
