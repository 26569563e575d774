#include "sweep_win32.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <iterator>

namespace {

// The bytes to look for; with fold_case, ASCII letters in either case, as
// Windows matches the names of environment variables.
struct pattern {
    const unsigned char* bytes;
    std::size_t size;
    bool fold_case = false;
};

unsigned char folded(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// Whether p stands at at (size bytes readable there).
bool stands_at(const pattern& p, const unsigned char* at)
{
    if (!p.fold_case) {
        return std::memcmp(at, p.bytes, p.size) == 0;
    }
    for (std::size_t i = 0; i < p.size; ++i) {
        if (folded(at[i]) != folded(p.bytes[i])) {
            return false;
        }
    }
    return true;
}

// Whether a match at at is the pattern's own copy, which is left alone.
bool is_own_copy(const pattern& p, const unsigned char* at)
{
    return at + p.size > p.bytes && at < p.bytes + p.size;
}

// Reads and writes the process's own memory through the calls that fail
// rather than fault, should another thread free or decommit it meanwhile.
bool read_at(const void* at, void* out, std::size_t size, SIZE_T& got)
{
    return ::ReadProcessMemory(::GetCurrentProcess(), at, out, size, &got) != 0 ||
           ::GetLastError() == ERROR_PARTIAL_COPY;
}

// Overwrites size bytes at at with zeros, or with spaces of unit bytes each
// (1, or 2 for UTF-16) when unit is not 0.
void overwrite_at(void* at, std::size_t size, std::size_t unit = 0)
{
    static const unsigned char zeros[512]{};
    static unsigned char spaces[512];
    for (std::size_t i = 0; i < sizeof spaces; ++i) {
        spaces[i] = unit != 0 && i % unit == 0 ? ' ' : 0;
    }
    const unsigned char* fill = unit != 0 ? spaces : zeros;
    while (size > 0) {
        const std::size_t part = size < sizeof zeros ? size : sizeof zeros;
        SIZE_T done = 0;
        if (!::WriteProcessMemory(::GetCurrentProcess(), at, fill, part, &done) || done == 0) {
            return;
        }
        at = static_cast<unsigned char*>(at) + done;
        size -= done;
    }
}

// Calls found(address) at each match of p in the process's committed,
// private, read-write memory (the heaps, the stacks, the run-time library's
// data), searching a copy read a piece at a time.
template <typename Found>
void for_each_match(const pattern& p, Found found)
{
    static unsigned char piece[64 * 1024];
    if (p.size > sizeof piece / 2) {
        return;
    }
    MEMORY_BASIC_INFORMATION region{};
    for (auto* at = static_cast<unsigned char*>(nullptr);
         ::VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<unsigned char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State != MEM_COMMIT || region.Type != MEM_PRIVATE ||
            region.Protect != PAGE_READWRITE) {
            continue;
        }
        auto* begin = static_cast<unsigned char*>(region.BaseAddress);
        unsigned char* const end = begin + region.RegionSize;
        // Pieces overlap by one pattern less a byte, so that no match is cut.
        for (unsigned char* from = begin; from + p.size <= end;
             from += sizeof piece - (p.size - 1)) {
            const auto want = static_cast<std::size_t>(end - from) < sizeof piece
                                  ? static_cast<std::size_t>(end - from)
                                  : sizeof piece;
            SIZE_T got = 0;
            if (!read_at(from, piece, want, got) || got < p.size) {
                break;
            }
            for (std::size_t i = 0; i + p.size <= got; ++i) {
                if (!p.fold_case) {
                    const void* hit = std::memchr(piece + i, p.bytes[0], got - p.size + 1 - i);
                    if (hit == nullptr) {
                        break;
                    }
                    i = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - piece);
                }
                if (stands_at(p, piece + i) && !is_own_copy(p, from + i)) {
                    found(from + i);
                }
            }
            if (want < sizeof piece) {
                break;
            }
        }
    }
    ::SecureZeroMemory(piece, sizeof piece);
}

// The length of the zero-terminated run of Char at at, read safely, at most
// limit units.
template <typename Char>
std::size_t value_length(const Char* at, std::size_t limit)
{
    Char unit{};
    std::size_t length = 0;
    SIZE_T got = 0;
    while (length < limit && read_at(at + length, &unit, sizeof unit, got) && got == sizeof unit &&
           unit != 0) {
        ++length;
    }
    return length;
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
        {narrow, length + 1, true},
        {reinterpret_cast<const unsigned char*>(wide), (length + 1) * sizeof(wchar_t), true}};
    for_each_match(forms[0], [&](unsigned char* at) {
        char* value = reinterpret_cast<char*>(at + length + 1);
        overwrite_at(value, value_length(value, 32768));
    });
    for_each_match(forms[1], [&](unsigned char* at) {
        wchar_t* value = reinterpret_cast<wchar_t*>(at) + length + 1;
        overwrite_at(value, value_length(value, 32768) * sizeof(wchar_t));
    });
}

void sweep_copies(const void* text, std::size_t size, std::size_t from, std::size_t to,
                  std::size_t space_unit)
{
    if (size == 0 || from >= to || to > size) {
        return;
    }
    const pattern p{static_cast<const unsigned char*>(text), size};
    for_each_match(p, [&](unsigned char* at) { overwrite_at(at + from, to - from, space_unit); });
}
