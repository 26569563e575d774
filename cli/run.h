// One run of the tool, from the command line to the exit status.
#pragma once

// Performs the run for the given command line and returns the exit status:
// 0 after a completed pass, 1 otherwise. May overwrite the password argument
// in place so that it no longer shows in the process list.
int run(int argc, char** argv);
