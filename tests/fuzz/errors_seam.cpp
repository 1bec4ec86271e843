// The few failure functions of launcher/base/errors.h that the fuzzed code calls.
// The launcher ends the process in each; here they throw launcher_end back to
// the fuzz target, which then frees what the run holds and goes on.
#include "launcher/base/errors.h"

#include "tests/fuzz/launcher_end.h"

void abnormal_end() { throw launcher_end::abnormal; }
void fail_header() { throw launcher_end::header; }
void fail_alloc() { throw launcher_end::alloc; }
void fail_decode() { throw launcher_end::decode; }
