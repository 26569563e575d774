#include "progress.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

// How long a run goes before the line appears, and how often it is redrawn.
constexpr std::uint64_t first_after_ms = 1000;
constexpr std::uint64_t redraw_every_ms = 250;

constexpr double mebibyte = 1024.0 * 1024.0;

// The room the line has after the announcement: one column short of the
// terminal's width, so that it never reaches the last column and wraps.
std::size_t room(const progress& p)
{
    const int columns = error_terminal_columns();
    const std::size_t width = columns > 0 ? static_cast<std::size_t>(columns) : 80;
    return width > p.prefix.size() + 1 ? width - p.prefix.size() - 1 : 0;
}

// Draws text after the announcement, over what was shown before, blanking
// what is left of a longer earlier line (within the terminal's width).
void draw(progress& p, const char* text)
{
    const std::size_t fits = room(p);
    const std::size_t length = std::strlen(text);
    const std::size_t blank =
        p.shown > length ? std::min(p.shown, fits) - std::min(length, fits) : 0;
    char line[512];
    const int n = std::snprintf(line, sizeof line, "\r%.*s%s%*s", static_cast<int>(p.prefix.size()),
                                p.prefix.data(), text, static_cast<int>(blank), "");
    if (n > 0) {
        print_error(std::string_view(line, std::strlen(line)));
    }
    p.shown = length;
}

// Draws the first of the texts that fits the terminal; when none does, only
// blanks what was shown.
void draw_fitting(progress& p, const char* const* texts, int count)
{
    const std::size_t fits = room(p);
    for (int i = 0; i < count; ++i) {
        if (std::strlen(texts[i]) <= fits) {
            draw(p, texts[i]);
            return;
        }
    }
    if (p.shown > 0) {
        draw(p, "");
    }
}

// Bytes a second over the last few redraws (as many as there were), or
// since the start at the first.
double recent_rate(progress& p, std::uint64_t now, std::uint64_t done)
{
    std::uint64_t then_ms = p.start_ms;
    std::uint64_t then_done = 0;
    if (p.sampled > 0) {
        const int oldest = p.sampled < progress::samples ? 0 : p.next_sample;
        then_ms = p.sample_ms[oldest];
        then_done = p.sample_done[oldest];
    }
    p.sample_ms[p.next_sample] = now;
    p.sample_done[p.next_sample] = done;
    p.next_sample = (p.next_sample + 1) % progress::samples;
    p.sampled = std::min(p.sampled + 1, progress::samples);
    const double seconds = static_cast<double>(now - then_ms) / 1000.0;
    return seconds > 0 ? static_cast<double>(done - then_done) / seconds : 0;
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
    const double rate = recent_rate(p, now, done);
    const double mib = static_cast<double>(done) / mebibyte;
    char full[120];
    char least[24];
    if (p.total > 0) {
        char shorter[100];
        char shortest[40];
        const double left =
            rate > 0 ? static_cast<double>(p.total - static_cast<std::int64_t>(done)) / rate : 0;
        const double all = static_cast<double>(p.total) / mebibyte;
        const int share =
            static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(p.total));
        std::snprintf(full, sizeof full, " %.1f of %.1f MiB (%d%%), %.1f MiB/s, %.0f s left", mib,
                      all, share, rate / mebibyte, left);
        std::snprintf(shorter, sizeof shorter, " %.1f of %.1f MiB (%d%%), %.0f s left", mib, all,
                      share, left);
        std::snprintf(shortest, sizeof shortest, " %d%%, %.0f s left", share, left);
        std::snprintf(least, sizeof least, " %d%%", share);
        const char* const texts[] = {full, shorter, shortest, least};
        draw_fitting(p, texts, 4);
    } else {
        std::snprintf(full, sizeof full, " %.1f MiB, %.1f MiB/s", mib, rate / mebibyte);
        std::snprintf(least, sizeof least, " %.1f MiB", mib);
        const char* const texts[] = {full, least};
        draw_fitting(p, texts, 2);
    }
}

void show_flushing(progress& p, std::uint64_t done)
{
    if (!p.enabled || monotonic_ms() - p.start_ms < first_after_ms) {
        return;
    }
    char text[120];
    std::snprintf(text, sizeof text, " %.1f MiB written, flushing to the disk",
                  static_cast<double>(done) / mebibyte);
    const char* const texts[] = {text, " flushing to the disk", " flushing"};
    draw_fitting(p, texts, 3);
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
