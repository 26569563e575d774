// Copies of a secret that the system and the C run-time library made and let
// go of (the environment blocks GetEnvironmentStrings hands out, argument
// blocks built at start-up) stay in freed memory until it is reused. These
// find them in the process's own writable memory and zero them.
#pragma once

#include <cstddef>

// Zeroes the value of every NAME=value copy (narrow and UTF-16) of the
// environment variable name, in whatever letter case, as Windows matches it.
void sweep_variable(const char* name);

// Overwrites bytes [from, to) of every copy of the size bytes at text in the
// process's own writable memory, text itself excepted: a copy of the whole
// command line, blanked with spaces of space_unit bytes (1, or 2 for UTF-16)
// so that it keeps its shape for whoever reads it; or the password and the
// mode in an argument block, zeroed (space_unit 0).
void sweep_copies(const void* text, std::size_t size, std::size_t from, std::size_t to,
                  std::size_t space_unit);
