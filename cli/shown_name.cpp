#include "shown_name.h"

#include <cstddef>

namespace {

// The length of the well-formed UTF-8 sequence at the start of text, or 0.
std::size_t utf8_length(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned low = 0x80;   // the second byte's bounds, which rule out overlong
    unsigned high = 0xbf;  // forms, surrogates and values past U+10FFFF
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) {
            return 0;
        }
    }
    return length;
}

// A control character: C0, DEL, or C1 (U+0080 to U+009F, C2 80 to C2 9F).
bool is_control(std::string_view sequence)
{
    const auto lead = static_cast<unsigned char>(sequence[0]);
    return lead < 0x20 || lead == 0x7f ||
           (sequence.size() == 2 && lead == 0xc2 && static_cast<unsigned char>(sequence[1]) < 0xa0);
}

// The part of text from at on, at most length bytes; unlike the standard
// library's, it throws nothing, which would pull in the C++ run-time library.
std::string_view part(std::string_view text, std::size_t at,
                      std::size_t length = std::string_view::npos)
{
    const std::size_t left = text.size() - at;
    return {text.data() + at, length < left ? length : left};
}

}  // namespace

bool needs_quoting(std::string_view name)
{
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = utf8_length(part(name, at));
        if (length == 0 || is_control(part(name, at, length))) {
            return true;
        }
        at += length;
    }
    return false;
}

void write_shown_name(std::string_view name, bool on_terminal, void (*write)(std::string_view))
{
    if (!on_terminal || !needs_quoting(name)) {
        write(name);
        return;
    }
    static constexpr char hex[] = "0123456789ABCDEF";
    write("$'");
    for (std::size_t at = 0; at < name.size();) {
        std::size_t length = utf8_length(part(name, at));
        const bool escaped = length == 0 || is_control(part(name, at, length));
        length = length == 0 ? 1 : length;
        if (!escaped) {
            const char c = name[at];
            write(c == '\'' ? "\\'" : c == '\\' ? "\\\\" : part(name, at, length));
        } else {
            for (std::size_t i = at; i < at + length; ++i) {
                const auto byte = static_cast<unsigned char>(name[i]);
                const char* named = byte == '\n'   ? "\\n"
                                    : byte == '\t' ? "\\t"
                                    : byte == '\r' ? "\\r"
                                    : byte == 0x1b ? "\\E"
                                                   : nullptr;
                const char code[4] = {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
                write(named != nullptr ? std::string_view(named) : std::string_view(code, 4));
            }
        }
        at += length;
    }
    write("'");
}
