// The folders the system names for the user: the shell's (profile, local
// application data) and the temporary one. Which folder a template word
// names is the template's to decide; these only ask.
#pragma once

#include <windows.h>

// The shell folder of a CSIDL value as it is now, into `out`; false when the
// system cannot say where it is.
bool read_shell_folder(int folder_id, wchar_t (&out)[MAX_PATH]);

// The temporary folder, with its final backslash, into `out` (`room` units):
// its length, or the room needed (terminator included) when it does not fit,
// or 0 when the system cannot say.
DWORD read_temp_folder(wchar_t* out, DWORD room);
