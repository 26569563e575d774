// The line that shows how a long run goes, on standard error when that is a
// terminal: bytes done and the total where it is known, the share done, the
// rate over the last two seconds or so and the time left at that rate,
// redrawn in place a few times a second once the run has lasted a second,
// then "flushing to the disk" while the output is flushed. It fits the
// terminal's width at each redraw, dropping fields rather than wrapping. It is erased before the
// run's own last text, so that the terminal ends up showing what it would have shown without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct progress {
    bool enabled = false;
    std::uint64_t start_ms = 0;
    std::uint64_t last_ms = 0;
    std::int64_t total = -1;  // the source's length, or -1 when unknown
    std::string_view prefix;  // the announcement, when it shares the line
    std::size_t shown = 0;    // the length of the line on the terminal now
    // The last few redraws' times and byte counts, for the recent rate.
    static constexpr int samples = 8;
    std::uint64_t sample_ms[samples]{};
    std::uint64_t sample_done[samples]{};
    int next_sample = 0;
    int sampled = 0;  // how many of them are filled
};

// Starts timing a run of total bytes (-1: unknown), announced as announcement.
void start_progress(progress& p, std::int64_t total, std::string_view announcement);

// After each block: done bytes so far. Looks at the clock, nothing more,
// unless it is time to redraw.
void show_progress(progress& p, std::uint64_t done);

// Before the final flush, on a run that has lasted a second.
void show_flushing(progress& p, std::uint64_t done);

// Erases the line, leaving the announcement as it was.
void end_progress(progress& p);
