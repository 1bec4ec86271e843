// Fuzzes the launcher's template expansion (launcher/template.cpp, with
// environment.cpp and fixed_buffer.cpp) over the fake Windows of seam/.
//
// Input: a little-endian u16 whose low 12 bits choose the output capacity
// (1 to 4,096 units, the launcher's path buffer) and whose top bit has the
// module path cut without a terminator when it does not fit (Windows XP,
// Wine), then UTF-16LE fields, each ended by a 0 unit:
//   template, module path, temporary folder, profile folder, local
//   application data folder, company, product, version, and the inherited
//   values of FENWIX_ONEFILE_PARENT, _RANDOM, _START and _TIME_US.
// A field the input does not reach keeps the typical user's value (the
// variables stay unset); an empty path makes its system call fail.
//
// Expected outcomes: an expansion, a refusal (false), or an abnormal end. The
// output buffer holds exactly the capacity, so a write or read past it is
// caught; an expansion must end within it.
#include "launcher/base/environment.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/template.h"
#include "tests/fuzz/launcher_end.h"
#include "tests/fuzz/seam/fake_platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t max_path_units = 260;  // MAX_PATH

std::vector<std::wstring> split_fields(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> fields(1);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == L'\0') {
            fields.emplace_back();
        } else {
            fields.back() += unit;
        }
    }
    return fields;
}

// The system never reports more than this: a temporary folder of at most
// MAX_PATH units ending in '\', a shell folder of fewer than MAX_PATH.
std::wstring as_temp_path(std::wstring path) {
    if (path.empty()) return path;
    if (path.back() != L'\\') path += L'\\';
    if (path.size() > max_path_units) path.replace(max_path_units - 1, std::wstring::npos, L"\\");
    return path;
}

std::wstring as_shell_folder(std::wstring path) {
    if (path.size() >= max_path_units) path.resize(max_path_units - 1);
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned head = data[0] | (data[1] << 8);
    const std::size_t capacity = 1 + head % path_capacity;
    const std::vector<std::wstring> fields = split_fields(data + 2, size - 2);

    reset_fake_platform();
    fake_platform_state& system = fake_platform();
    system.module_path_cut_unterminated = (head & 0x8000) != 0;
    const auto field = [&](std::size_t i, std::wstring& target) {
        if (i < fields.size()) target = fields[i];
    };
    std::wstring template_text;
    field(0, template_text);
    field(1, system.module_path);
    field(2, system.temp_path);
    system.temp_path = as_temp_path(system.temp_path);
    field(3, system.profile);
    system.profile = as_shell_folder(system.profile);
    field(4, system.local_appdata);
    system.local_appdata = as_shell_folder(system.local_appdata);
    field(5, system.company);
    field(6, system.product);
    field(7, system.version);
    const char* const inherited[] = {env_names::parent, env_names::random, env_names::start,
                                     env_names::time_us};
    for (std::size_t v = 0; v < 4 && 8 + v < fields.size(); ++v) {
        system.environment[std::wstring(inherited[v], inherited[v] + std::strlen(inherited[v]))] =
            fields[8 + v];
    }

    // Exactly sized heap copies: nothing past them belongs to the run.
    std::unique_ptr<wchar_t[]> text(new wchar_t[template_text.size() + 1]);
    wmemcpy(text.get(), template_text.c_str(), template_text.size() + 1);
    std::unique_ptr<wchar_t[]> output(new wchar_t[capacity]);
    wmemset(output.get(), L'~', capacity);

    try {
        if (expand_template(output.get(), text.get(), capacity) &&
            wide_length_within(output.get(), capacity) >= capacity) {
            std::abort();  // an expansion that does not end inside its buffer
        }
    } catch (launcher_end) {
    }
    reset_fake_platform();
    return 0;
}
