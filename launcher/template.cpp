#include "launcher/template.h"

#include "launcher/base/environment.h"
#include "launcher/base/errors.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/base/build_values.h"
#include "launcher/platform/system_folders.h"
#include "format/upper_case.h"

#include <windows.h>
#include <shlobj.h>

#include <cwchar>

namespace {

constexpr std::size_t scratch_capacity = 1024;  // numbers while they are formatted

const wchar_t* app_folder = nullptr;  // what {APP_DIR} gives, once unpacking has a folder

const wchar_t random_alphabet[] =
    L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

bool ascii_iequals(const wchar_t* a, const wchar_t* b) {
    for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
        if (ascii_upper_case(*a) != ascii_upper_case(*b)) return false;
    }
    return *a == *b;
}

// A keyword value under the bounded rule: it fits with its terminator, or the
// process ends.
void append_value(wchar_t* output, std::size_t capacity, const wchar_t* value) {
    wide_append_or_abort(output, capacity, value);
}

std::int64_t system_time_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                     now.dwLowDateTime);
}

// A value cached in the environment: read back when set, else made by
// `make` into the scratch buffer, published, then used.
template <typename Make>
void append_cached(wchar_t* output, std::size_t capacity, const char* variable, Make make) {
    if (const wchar_t* cached = read_environment_variable(variable)) {
        append_value(output, capacity, cached);
        return;
    }
    wchar_t scratch[scratch_capacity];
    make(scratch);
    set_environment_variable(variable, scratch);
    append_value(output, capacity, scratch);
}

void make_random_text(wchar_t (&scratch)[scratch_capacity]) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const std::uint32_t seed =
        random_seed(static_cast<std::uint64_t>(counter.QuadPart), GetCurrentProcessId(),
                    reinterpret_cast<std::uintptr_t>(&counter));
    unsigned char drawn[8];
    draw_random_bytes(seed, drawn);
    wchar_t text[12];
    encode_random_text(drawn, text);
    wide_copy_or_abort(scratch, scratch_capacity, text);
}

void append_pid(wchar_t* output, std::size_t capacity) {
    if (const wchar_t* parent = read_environment_variable(env_names::parent)) {
        // A launcher id that is not a number means a corrupted environment.
        if (!is_decimal_text(parent)) abnormal_end();
        append_value(output, capacity, parent);
        return;
    }
    wchar_t id[process_id_text_capacity];
    own_process_id_text(id);
    append_value(output, capacity, id);
}

// TEMP and PROGRAM let the system write at the output's end, given the
// remaining room; the new length is found from the terminator.
// The decimal digits of value, at least `digits` of them (leading zeros).
// By hand: the C library's formatter would bring its floating-point code,
// a sixth of the launcher's size, for two numbers.
void decimal_text(std::uint64_t value, int digits, wchar_t (&out)[scratch_capacity]) {
    wchar_t reversed[24];
    int n = 0;
    do {
        reversed[n++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0 || n < digits);
    for (int i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
    out[n] = L'\0';
}

bool append_temp(wchar_t* output, std::size_t capacity) {
    const std::size_t used = wcslen(output);
    const DWORD room = static_cast<DWORD>(capacity - used);
    const DWORD n = read_temp_folder(output + used, room);
    if (n == 0 || n >= room) {
        output[used] = L'\0';
        return false;
    }
    return true;
}

bool append_program(wchar_t* output, std::size_t capacity) {
    const std::size_t used = wcslen(output);
    const DWORD room = static_cast<DWORD>(capacity - used);
    // A path cut short to fit is accepted as it is.
    if (read_module_path(output + used, room) == module_path_state::unknown) {
        output[used] = L'\0';
        return false;
    }
    return true;
}

// Appends the shell folder named by a CSIDL value; false when the system
// cannot say where it is.
bool append_shell_folder(wchar_t* output, int folder_id, std::size_t capacity) {
    wchar_t folder[MAX_PATH];
    if (!read_shell_folder(folder_id, folder)) return false;
    append_value(output, capacity, folder);
    return true;
}

}  // namespace

void know_app_folder(const wchar_t* folder) { app_folder = folder; }

bool append_keyword(wchar_t* output, std::size_t capacity, const wchar_t* name) {
    const std::size_t used = wcslen(output);
    bool strip = false;
    switch (lookup_keyword(name)) {
        case keyword::temp:
            if (!append_temp(output, capacity)) return false;
            strip = true;
            break;
        case keyword::program:
            if (!append_program(output, capacity)) return false;
            break;
        case keyword::program_base:
            if (!expand_template(output + used, L"{PROGRAM}", capacity - used)) return false;
            cut_exe_ending(output + used);
            break;
        case keyword::program_dir:
            if (!expand_template(output + used, L"{PROGRAM}", capacity - used)) return false;
            cut_at_last_backslash(output + used);
            break;
        case keyword::pid:
            append_pid(output, capacity);
            break;
        case keyword::home:
            if (!append_shell_folder(output, CSIDL_PROFILE, capacity)) return false;
            strip = true;
            break;
        case keyword::cache_dir:
            if (!append_shell_folder(output, CSIDL_LOCAL_APPDATA, capacity)) return false;
            strip = true;
            break;
        case keyword::company:
            append_value(output, capacity, launcher_build_values().company_name);
            break;
        case keyword::product:
            append_value(output, capacity, launcher_build_values().product_name);
            break;
        case keyword::version:
        case keyword::file_version:
        case keyword::product_version:
            append_value(output, capacity, launcher_build_values().version);
            break;
        case keyword::random:
            append_cached(output, capacity, env_names::random, make_random_text);
            break;
        case keyword::time:
            append_cached(
                output, capacity, env_names::start, [](wchar_t(&scratch)[scratch_capacity]) {
                    decimal_text(static_cast<std::uint64_t>(system_time_now()), 1, scratch);
                });
            break;
        case keyword::time_us:
            append_cached(
                output, capacity, env_names::time_us, [](wchar_t(&scratch)[scratch_capacity]) {
                    decimal_text(
                        static_cast<std::uint64_t>(microseconds_within_second(system_time_now())),
                        6, scratch);
                });
            break;
        case keyword::app_dir:
            if (app_folder == nullptr) return false;
            append_value(output, capacity, app_folder);
            break;
        case keyword::unknown:
            return false;
    }
    if (strip) strip_trailing_backslashes(output);
    return true;
}

void strip_trailing_backslashes(wchar_t* text) {
    std::size_t n = wcslen(text);
    while (n > 0 && text[n - 1] == L'\\') text[--n] = L'\0';
}

void cut_exe_ending(wchar_t* text) {
    const std::size_t n = wcslen(text);
    if (n >= 4 && ascii_iequals(text + n - 4, L".exe")) text[n - 4] = L'\0';
}

void cut_at_last_backslash(wchar_t* text) {
    if (wchar_t* split = find_last_backslash(text, false)) *split = L'\0';
}

bool is_decimal_text(const wchar_t* text) {
    if (*text == L'\0') return false;
    for (; *text != L'\0'; ++text) {
        if (*text < L'0' || *text > L'9') return false;
    }
    return true;
}

std::uint32_t random_seed(std::uint64_t counter, std::uint32_t process_id, std::uintptr_t address) {
    const std::uint64_t a = address;
    const std::uint32_t seed = static_cast<std::uint32_t>(counter) ^
                               static_cast<std::uint32_t>(counter >> 32) ^ process_id ^
                               static_cast<std::uint32_t>(a) ^ static_cast<std::uint32_t>(a >> 32);
    return seed == 0 ? 1 : seed;
}

void draw_random_bytes(std::uint32_t seed, unsigned char (&out)[8]) {
    std::uint32_t x = seed;
    for (unsigned char& byte : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<unsigned char>(x & 0xFF);
    }
}

void encode_random_text(const unsigned char (&in)[8], wchar_t (&out)[12]) {
    // 64 bits: six-bit groups in order; the last character carries the low
    // four bits of the eighth byte and two zero bits.
    std::size_t o = 0;
    std::uint32_t bits = 0;
    int count = 0;
    for (unsigned char byte : in) {
        bits = (bits << 8) | byte;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out[o++] = random_alphabet[(bits >> count) & 0x3F];
        }
    }
    out[o++] = random_alphabet[(bits << (6 - count)) & 0x3F];
    out[o] = L'\0';
}

long microseconds_within_second(std::int64_t system_time) {
    const std::int64_t us = system_time / 10;
    return static_cast<long>(us - (us / 1000000) * 1000000);
}

namespace {

// The launcher's side of the template grammar: literals and keyword values
// go to the output; odd shapes are taken as they always have been.
struct expansion {
    wchar_t* output;
    std::size_t capacity;
    std::size_t length;

    bool literal(wchar_t unit) {
        if (capacity - length <= 1) return false;
        output[length++] = unit;
        output[length] = L'\0';
        return true;
    }
    bool keyword(const wchar_t* name) {
        if (!append_keyword(output, capacity, name)) return false;
        length = wcslen(output);
        return true;
    }
    bool odd(template_grammar::oddity) { return true; }
};

}  // namespace

bool expand_template(wchar_t* output, const wchar_t* template_text, std::size_t capacity) {
    output[0] = L'\0';
    expansion e{output, capacity, 0};
    return template_grammar::scan(template_text, e);
}
