#include "sweep_win32.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <iterator>

namespace {

// The bytes to look for, and whether a match inside [skip, skip + skip_size)
// (the pattern's own copy, the run's arguments) is left alone.
struct pattern {
    const unsigned char* bytes;
    std::size_t size;
    const unsigned char* skip;
    std::size_t skip_size;
};

bool skipped(const pattern& p, const unsigned char* at)
{
    return at + p.size > p.bytes && at < p.bytes + p.size
               ? true
               : p.skip != nullptr && at + p.size > p.skip && at < p.skip + p.skip_size;
}

// Calls zero(match) at each match of p in the process's committed, private,
// read-write memory: the heaps, the stacks, the run-time library's data.
template <typename Zero>
void for_each_match(const pattern& p, Zero zero)
{
    MEMORY_BASIC_INFORMATION region{};
    for (auto* at = static_cast<unsigned char*>(nullptr);
         ::VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<unsigned char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State != MEM_COMMIT || region.Type != MEM_PRIVATE ||
            region.Protect != PAGE_READWRITE) {
            continue;
        }
        auto* begin = static_cast<unsigned char*>(region.BaseAddress);
        const unsigned char* end = begin + region.RegionSize;
        for (unsigned char* found = begin; found + p.size <= end; ++found) {
            found = static_cast<unsigned char*>(
                std::memchr(found, p.bytes[0], static_cast<std::size_t>(end - found)));
            if (found == nullptr || found + p.size > end) {
                break;
            }
            if (std::memcmp(found, p.bytes, p.size) == 0 && !skipped(p, found)) {
                zero(found, end);
            }
        }
    }
}

template <typename Char>
void zero_until_end(Char* value, const unsigned char* end)
{
    for (; reinterpret_cast<unsigned char*>(value + 1) <= end && *value != 0; ++value) {
        *static_cast<volatile Char*>(value) = 0;
    }
}

}  // namespace

void sweep_variable(const char* name)
{
    unsigned char narrow[64]{};
    wchar_t wide[64]{};
    const std::size_t length = std::strlen(name);
    if (length + 1 >= std::size(narrow)) {
        return;
    }
    for (std::size_t i = 0; i < length; ++i) {
        narrow[i] = static_cast<unsigned char>(name[i]);
        wide[i] = static_cast<wchar_t>(name[i]);
    }
    narrow[length] = '=';
    wide[length] = L'=';
    const pattern forms[] = {
        {narrow, length + 1, nullptr, 0},
        {reinterpret_cast<const unsigned char*>(wide), (length + 1) * sizeof(wchar_t), nullptr, 0}};
    for_each_match(forms[0], [&](unsigned char* at, const unsigned char* end) {
        zero_until_end(reinterpret_cast<char*>(at + length + 1), end);
    });
    for_each_match(forms[1], [&](unsigned char* at, const unsigned char* end) {
        zero_until_end(reinterpret_cast<wchar_t*>(at) + length + 1, end);
    });
}

void sweep_copies(const void* text, std::size_t size, std::size_t from, std::size_t to)
{
    if (size == 0 || from >= to || to > size) {
        return;
    }
    const pattern p{static_cast<const unsigned char*>(text), size, nullptr, 0};
    for_each_match(p, [&](unsigned char* at, const unsigned char*) {
        for (std::size_t i = from; i < to; ++i) {
            *static_cast<volatile unsigned char*>(at + i) = 0;
        }
    });
}
