// How a file name is shown on a person's terminal.
#pragma once

#include <string_view>

// Whether name holds something a terminal would act on or show as another
// name: a control character (C0, DEL, or C1), or bytes that are not UTF-8.
bool needs_quoting(std::string_view name);

// Writes name through write, piece by piece: as it is when it goes elsewhere
// than to a terminal (where scripts read its bytes) or needs no quoting,
// else in the shell's $'...' quoting (as ls and cat show such names), where
// control characters and bytes that are not UTF-8 are escapes, so that the
// name can neither drive the terminal nor pass for another line, and pasted
// into a shell it names the same file.
void write_shown_name(std::string_view name, bool on_terminal, void (*write)(std::string_view));
