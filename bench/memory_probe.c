/* A Windows program that checks how the bench measures peak memory: it
 * allocates and touches PROBE_MIB MiB (an environment variable, default 0),
 * then exits 0. Run directly under GNU time, the peak resident set size of
 * a run with PROBE_MIB=64 must be about 64 MiB above one with PROBE_MIB=0,
 * which shows that the figure is that of the Windows program's own process.
 * Built by bench/run.py with the mingw-w64 C compiler. */
#include <windows.h>

#include <stdlib.h>

int main(void) {
    char value[32] = "0";
    GetEnvironmentVariableA("PROBE_MIB", value, sizeof value);
    const size_t size = (size_t)strtoul(value, NULL, 10) << 20;
    if (size == 0) return 0;
    volatile unsigned char* memory =
        VirtualAlloc(NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (memory == NULL) return 1;
    for (size_t i = 0; i < size; i += 4096) memory[i] = 1;
    return 0;
}
