// Deciding a file's permissions on Windows, kept apart from the calls that
// set them so that the decision can be tested where those calls cannot.
#pragma once

#include <windows.h>

// Whether a folder's DACL hands any permissions down to new files in it
// (an ACE marked to be inherited by objects). A null DACL hands none down.
bool hands_down_to_files(const ACL* folder_dacl);
