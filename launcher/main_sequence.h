// The launcher's run from start-up to exit.
#pragma once

// Takes the wide argument vector of the entry point; returns the exit code.
int run_launcher(int argc, wchar_t** argv);
