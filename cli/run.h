// One run of the tool, from the command line to the exit status.
#pragma once

#include "command_line.h"

// Performs what the command line asks for and returns the exit status: 0
// after a completed pass (or --version, --help), 1 otherwise. May overwrite
// the password argument in place so that it no longer shows in the process
// list.
int run(const command_line& line);
