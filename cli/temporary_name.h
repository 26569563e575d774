// The names of the run's temporary files, the same on every platform:
// .zodevir- and six characters, drawn from a generator seeded by the clock and
// the process. The name is made here rather than by mkstemp or GetTempFileName:
// the file must be created in the destination's own folder, relative to the
// handle the run holds, and exclusively, retrying on a name that is taken.
#pragma once

#include <cstddef>
#include <cstdint>

// The prefix, and the length of a name with its terminator.
inline constexpr char temporary_prefix[] = ".zodevir-";
inline constexpr std::size_t temporary_name_size = sizeof temporary_prefix - 1 + 6 + 1;

// Draws names from a seed. With case_sensitive (POSIX names), letters of both
// cases and digits (62); without (Windows, whose names ignore case), lower-case
// letters and digits (36).
class temporary_names {
public:
    temporary_names(std::uint64_t seed, bool case_sensitive)
        : state_(seed), case_sensitive_(case_sensitive)
    {
    }

    // Writes the next name, terminated, into name (temporary_name_size units).
    template <typename Char>
    void next(Char* name)
    {
        static constexpr char mixed[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        static constexpr char lower[] = "0123456789abcdefghijklmnopqrstuvwxyz";
        const char* letters = case_sensitive_ ? mixed : lower;
        const std::size_t count = case_sensitive_ ? sizeof mixed - 1 : sizeof lower - 1;
        std::size_t at = 0;
        for (; temporary_prefix[at] != '\0'; ++at) {
            name[at] = static_cast<Char>(temporary_prefix[at]);
        }
        for (int i = 0; i < 6; ++i, ++at) {
            state_ = state_ * 6364136223846793005u + 1442695040888963407u;
            name[at] = static_cast<Char>(letters[(state_ >> 33) % count]);
        }
        name[at] = static_cast<Char>('\0');
    }

private:
    std::uint64_t state_;
    bool case_sensitive_;
};
