// What a start does, step by step, for whoever must find out why a start is
// slow or fails on a user's machine. FENWIX_ONEFILE_TRACE=1 writes one line
// per step to standard error; any other value names a file the lines are
// appended to (the only place a windowed launcher can show them). Unset,
// empty or "0": nothing is written and each step costs one test of a flag.
// Each line starts with the milliseconds since trace_start. The program
// inherits the variable as it is.
#pragma once

// Reads the variable once; the first thing a start does.
void trace_start();

// Whether lines are written (so a step can skip work that only a trace needs).
bool tracing();

// One line, formatted as swprintf does ("%ls" for a wide text).
void trace(const wchar_t* format, ...);
