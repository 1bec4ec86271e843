// The end for a violated internal limit: no message, no flush, fail-fast
// status 0xC0000409 (or exit code 3 where the system has no fail-fast
// service). It depends on nothing else of the launcher, so the buffers and
// path helpers below the failure messages can end through it.
#pragma once

[[noreturn]] void abnormal_end();
