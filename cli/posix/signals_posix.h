// Signals: the ones that end a run, holding them back, and the one handler
// that cleans up after an interrupted run. This file owns the handler's
// state: the temporary file to remove, and whether the output is in place.
#pragma once

#include <signal.h>
#include <sys/stat.h>

// The signals whose default action ends the process and that can be caught:
// Ctrl-C and its quit key, kill, a hang-up, timers, limits, power and I/O
// notices, the real-time signals, and the faults (SIGSEGV, SIGBUS, SIGABRT,
// ...). A run that has something to undo on its way out (a temporary file, a
// terminal's echo) catches these. SIGPIPE and SIGXFSZ are not among them: a
// run ignores them and reports the failed write instead.
bool is_ending_signal(int sig);

// Holds the ending signals back until release_ending_signals; returns the
// signal mask to restore.
sigset_t hold_ending_signals();
void release_ending_signals(const sigset_t& saved);

// What the ending signals did before catch_ending_signals, by signal number.
using ending_actions = struct sigaction[NSIG];

// Makes handler catch every ending signal, with all of them held back while
// it runs, except those the caller chose to ignore (nohup, a background job),
// which stay ignored. What was there before goes into previous.
void catch_ending_signals(void (*handler)(int), ending_actions& previous);

// Puts back what catch_ending_signals replaced.
void restore_ending_signals(const ending_actions& previous);

// The temporary file an interruption must remove: name within the open
// folder, while it is still the file own. Called with the ending signals
// held back, so that the handler sees all or nothing.
void remember_temporary(int folder, const char* name, const struct stat& own);
void forget_temporary();

// The output is in place: from now on an interruption no longer ends the run.
void output_is_in_place();
