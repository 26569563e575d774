#include "progress.h"

#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

// How long a run goes before the line appears, and how often it is redrawn.
constexpr std::uint64_t first_after_ms = 1000;
constexpr std::uint64_t redraw_every_ms = 250;

constexpr double mebibyte = 1024.0 * 1024.0;

// Draws text after the announcement, over what was shown before.
void draw(progress& p, const char* text)
{
    char line[160];
    const std::size_t length = std::strlen(text);
    const int n = std::snprintf(line, sizeof line, "\r%.*s%s%*s", static_cast<int>(p.prefix.size()),
                                p.prefix.data(), text,
                                static_cast<int>(p.shown > length ? p.shown - length : 0), "");
    if (n > 0) {
        print_error(std::string_view(line, std::strlen(line)));
    }
    p.shown = length;
}

}  // namespace

void start_progress(progress& p, std::int64_t total, std::string_view announcement)
{
    p.enabled = error_is_terminal();
    if (!p.enabled) {
        return;
    }
    p.start_ms = monotonic_ms();
    p.last_ms = p.start_ms;
    p.total = total;
    p.prefix = console_is_error_terminal() ? announcement : std::string_view();
}

void show_progress(progress& p, std::uint64_t done)
{
    if (!p.enabled) {
        return;
    }
    const std::uint64_t now = monotonic_ms();
    if (now - p.start_ms < first_after_ms || now - p.last_ms < redraw_every_ms) {
        return;
    }
    p.last_ms = now;
    const double seconds = static_cast<double>(now - p.start_ms) / 1000.0;
    const double rate = static_cast<double>(done) / seconds;
    char text[120];
    if (p.total > 0) {
        const double left =
            rate > 0 ? static_cast<double>(p.total - static_cast<std::int64_t>(done)) / rate : 0;
        std::snprintf(
            text, sizeof text, " %.1f of %.1f MiB (%d%%), %.1f MiB/s, %.0f s left",
            static_cast<double>(done) / mebibyte, static_cast<double>(p.total) / mebibyte,
            static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(p.total)),
            rate / mebibyte, left);
    } else {
        std::snprintf(text, sizeof text, " %.1f MiB, %.1f MiB/s",
                      static_cast<double>(done) / mebibyte, rate / mebibyte);
    }
    draw(p, text);
}

void show_flushing(progress& p, std::uint64_t done)
{
    if (!p.enabled || monotonic_ms() - p.start_ms < first_after_ms) {
        return;
    }
    char text[120];
    std::snprintf(text, sizeof text, " %.1f MiB written, flushing to the disk",
                  static_cast<double>(done) / mebibyte);
    draw(p, text);
}

void end_progress(progress& p)
{
    if (p.enabled && p.shown > 0) {
        draw(p, "");
        // The cursor goes back to just after the announcement.
        print_error("\r");
        print_error(p.prefix);
    }
}
