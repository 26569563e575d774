// The process's own protection on Windows.
#pragma once

// Gives the process a DACL under which only the system may read or write its
// memory: another program of the same user may wait for it and end it, and
// no more. Best effort.
void keep_others_out_of_memory();
