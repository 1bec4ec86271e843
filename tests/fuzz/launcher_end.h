// How the launcher's code ends the process, seen from a fuzz target: the
// seam's failure functions (errors_seam.cpp) throw this instead of exiting,
// so a decode failure or an abnormal end is an outcome, not a crash.
#pragma once

enum class launcher_end { header, alloc, decode, abnormal };
