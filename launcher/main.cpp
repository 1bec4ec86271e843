#include "launcher/main_sequence.h"

int wmain(int argc, wchar_t** argv) { return run_launcher(argc, argv); }
