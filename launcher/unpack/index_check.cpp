#include "launcher/unpack/index_check.h"

#include "launcher/base/fixed_buffer.h"
#include "launcher/unpack/write_entry.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

namespace {

// More threads than this find the disk, not the processor, the limit.
constexpr DWORD max_check_threads = 8;
constexpr SIZE_T check_thread_stack = 64 * 1024;

// The read buffers of the threads started to check; the main thread, which
// checks too, uses file_checksum's.
unsigned char thread_buffers[max_check_threads - 1][checksum_buffer_size];

// What is known of one entry's file; changed only with Interlocked calls.
enum entry_state : LONG { not_checked = 0, being_checked = 1, right = 2, not_right = 3 };

// The one check of the process, from index_check_open to index_check_close.
struct check_state {
    const wchar_t* folder;
    std::size_t folder_units;
    const payload_index::entry* entries;  // the main sequence's, one per index entry
    std::size_t count;
    volatile LONG* states;       // heap, one entry_state per entry
    volatile LONG64 next_claim;  // the next entry a thread may take
    volatile LONG found_not_right;
    HANDLE threads[max_check_threads];
    DWORD thread_count;
};

check_state check;

void forget_check() {
    free(const_cast<LONG*>(check.states));
    check.entries = nullptr;
    check.states = nullptr;
    check.count = 0;
    check.next_claim = 0;
    check.found_not_right = 0;
    check.thread_count = 0;
}

// A path that does not fit is not checked: the full pass then reports it
// as it always has.
bool entry_path(const payload_index::entry& e, wchar_t* out) {
    return index_entry_path(check.folder, check.folder_units, e, out);
}

bool claim(std::size_t number) {
    return InterlockedCompareExchange(&check.states[number], being_checked, not_checked) ==
           not_checked;
}

// Checks a claimed entry and publishes the result; a null buffer is the main
// thread's.
bool check_claimed(std::size_t number, const wchar_t* path, unsigned char* buffer) {
    const std::uint32_t checksum =
        buffer == nullptr ? file_checksum(path) : file_checksum_with(path, buffer);
    const bool is_right = checksum == check.entries[number].checksum;
    if (!is_right) InterlockedExchange(&check.found_not_right, 1);
    InterlockedExchange(&check.states[number], is_right ? right : not_right);
    return is_right;
}

void check_entry(std::size_t number, unsigned char* buffer) {
    wchar_t path[path_capacity];
    if (entry_path(check.entries[number], path)) {
        check_claimed(number, path, buffer);
    } else {
        InterlockedExchange(&check.found_not_right, 1);
        InterlockedExchange(&check.states[number], not_right);
    }
}

// Takes unclaimed entries in order until none is left; with stop_early, also
// stops once any file is known not to be right.
void check_entries(bool stop_early, unsigned char* buffer) {
    for (;;) {
        if (stop_early && check.found_not_right != 0) return;
        const LONG64 number = InterlockedIncrement64(&check.next_claim) - 1;
        if (static_cast<std::size_t>(number) >= check.count) return;
        if (claim(static_cast<std::size_t>(number))) {
            check_entry(static_cast<std::size_t>(number), buffer);
        }
    }
}

DWORD WINAPI check_thread(void* buffer) {
    check_entries(false, static_cast<unsigned char*>(buffer));
    return 0;
}

LONG wait_for_result(std::size_t number) {
    for (;;) {
        const LONG state = InterlockedCompareExchange(&check.states[number], 0, 0);
        if (state != being_checked) return state;
        // Another thread is reading this one file; it will not take long.
        Sleep(0);
    }
}

bool same_entry(const payload_index::entry& e, const wchar_t* name, std::uint64_t size,
                std::uint32_t checksum) {
    if (e.size != size || e.checksum != checksum) return false;
    for (std::size_t u = 0; u < e.units; ++u) {
        if (name[u] != static_cast<wchar_t>(payload_index::name_unit(e, u))) return false;
    }
    return name[e.units] == L'\0';
}

}  // namespace

bool index_check_open(const index_entries& index, const wchar_t* folder) {
    if (index.count == 0) return false;
    check.states = static_cast<volatile LONG*>(calloc(index.count, sizeof(LONG)));
    // Without memory for the check, the full pass does without it.
    if (check.states == nullptr) return false;
    check.entries = index.entries;
    check.count = index.count;
    check.folder = folder;
    check.folder_units = wcslen(folder);
    return true;
}

void index_check_trust(std::size_t number) {
    if (number < check.count) InterlockedExchange(&check.states[number], right);
}

bool index_check_all_right(wchar_t* first_path) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    DWORD wanted = system.dwNumberOfProcessors < max_check_threads ? system.dwNumberOfProcessors
                                                                   : max_check_threads;
    if (static_cast<std::size_t>(wanted) > check.count) wanted = static_cast<DWORD>(check.count);
    // This thread checks too, so one fewer is started.
    for (DWORD t = 1; t < wanted; ++t) {
        const HANDLE thread =
            CreateThread(nullptr, check_thread_stack, check_thread, thread_buffers[t - 1],
                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread == nullptr) break;
        check.threads[check.thread_count++] = thread;
    }
    check_entries(true, nullptr);
    if (check.found_not_right != 0) return false;
    // Every entry is claimed; the threads end with their last file.
    if (check.thread_count > 0) {
        WaitForMultipleObjects(check.thread_count, check.threads, TRUE, INFINITE);
    }
    if (check.found_not_right != 0) return false;
    return entry_path(check.entries[0], first_path);
}

bool index_check_entry_right(std::size_t number, const wchar_t* name, std::uint64_t size,
                             std::uint32_t checksum, const wchar_t* path) {
    if (number >= check.count || !same_entry(check.entries[number], name, size, checksum)) {
        return file_checksum(path) == checksum;
    }
    if (claim(number)) return check_claimed(number, path, nullptr);
    return wait_for_result(number) == right;
}

void index_check_close() {
    if (check.thread_count > 0) {
        WaitForMultipleObjects(check.thread_count, check.threads, TRUE, INFINITE);
    }
    for (DWORD t = 0; t < check.thread_count; ++t) CloseHandle(check.threads[t]);
    forget_check();
}
