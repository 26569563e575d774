// Copies of a secret that the system and the C run-time library made and let
// go of (the environment blocks GetEnvironmentStrings hands out, argument
// blocks built at start-up) stay in freed memory until it is reused. These
// find them in the process's own writable memory and zero them.
#pragma once

#include <cstddef>

// Zeroes the value of every NAME=value copy (narrow and UTF-16) of the
// environment variable name.
void sweep_variable(const char* name);

// Zeroes bytes [from, to) of every copy of the size bytes at text in the
// process's own writable memory, text itself excepted: a copy of the whole
// command line, or of an argument between the zero terminators of an
// argument block.
void sweep_copies(const void* text, std::size_t size, std::size_t from, std::size_t to);
