#include "launcher/launch_line.h"

#include "launcher/base/build_values.h"
#include "launcher/base/environment.h"
#include "launcher/base/errors.h"
#include "launcher/template.h"
#include "launcher/base/trace.h"
#include "format/template_grammar.h"
#include "format/values_section.h"

#include <windows.h>

#include <cwchar>

namespace {

// A variable name longer than this is taken as literal text: no variable
// the user means has one.
constexpr std::size_t variable_name_capacity = 256;

wchar_t variable_value[env_value_capacity];  // a variable's value while it is expanded
wchar_t expanded[env_value_capacity];        // a launch-line value once expanded
wchar_t variable_name[env_value_capacity];   // the name of a variable being set

// The launcher's side of the grammar for launch-line values: literal units
// through the "%NAME%" rule (when asked), keyword values copied as they are.
struct launch_expansion {
    wchar_t* output;
    std::size_t capacity;
    bool with_variables;
    std::size_t length = 0;
    bool in_name = false;  // after an opening "%"
    wchar_t name[variable_name_capacity + 1] = {};
    std::size_t name_units = 0;
    bool too_long = false;

    bool put(const wchar_t* text, std::size_t units) {
        if (capacity - length <= units) {
            too_long = true;
            return false;
        }
        wmemcpy(output + length, text, units);
        length += units;
        output[length] = L'\0';
        return true;
    }
    // An opening "%" that turned out to open no variable, and what followed it.
    bool put_unfinished_name() {
        in_name = false;
        return put(L"%", 1) && put(name, name_units);
    }
    bool put_variable() {
        in_name = false;
        if (name_units == 0) return put(L"%", 1);
        name[name_units] = L'\0';
        return put(variable_value,
                   read_environment_value(name, variable_value, env_value_capacity));
    }
    bool literal(wchar_t unit) {
        if (!with_variables) return put(&unit, 1);
        if (!in_name) {
            if (unit != L'%') return put(&unit, 1);
            in_name = true;
            name_units = 0;
            return true;
        }
        if (unit == L'%') return put_variable();
        if (name_units == variable_name_capacity) return put_unfinished_name() && put(&unit, 1);
        name[name_units++] = unit;
        return true;
    }
    bool keyword(const wchar_t* keyword_name) {
        if (in_name && !put_unfinished_name()) return false;
        if (!append_keyword(output, capacity, keyword_name)) return false;
        length = wcslen(output);
        return true;
    }
    bool odd(template_grammar::oddity) { return true; }
    bool finish() { return !in_name || put_unfinished_name(); }
};

const unsigned char* section() { return launcher_build_values().values_section; }

}  // namespace

expansion expand_launch_value(wchar_t* output, std::size_t capacity, const wchar_t* text,
                              bool with_variables) {
    output[0] = L'\0';
    launch_expansion e{output, capacity, with_variables};
    if (template_grammar::scan(text, e) && e.finish()) return expansion::done;
    return e.too_long ? expansion::too_long : expansion::failed;
}

launch_text_cursor fixed_arguments() {
    const build_values& values = launcher_build_values();
    return {values.launch_first_text, values.fixed_argument_count};
}

const wchar_t* next_launch_text(launch_text_cursor& cursor) {
    if (cursor.left == 0) return nullptr;
    --cursor.left;
    const values_section::text_view text =
        values_section::next_launch_text(section(), cursor.offset);
    return reinterpret_cast<const wchar_t*>(section() + text.offset);
}

void set_launch_variables() {
    const build_values& values = launcher_build_values();
    // The variables follow the fixed arguments.
    launch_text_cursor cursor = fixed_arguments();
    while (next_launch_text(cursor) != nullptr) continue;
    cursor.left = values.variable_count;
    while (const wchar_t* text = next_launch_text(cursor)) {
        // The section's reader made sure of a name before the "=".
        const wchar_t* equals = wcschr(text, L'=');
        const std::size_t name_units = static_cast<std::size_t>(equals - text);
        wmemcpy(variable_name, text, name_units);
        variable_name[name_units] = L'\0';
        const expansion result =
            expand_launch_value(expanded, env_value_capacity, equals + 1, true);
        if (result == expansion::failed) fail_template_expansion(text);
        // Windows holds no longer value; the program must not start without it.
        if (result == expansion::too_long) fail_launch(ERROR_FILENAME_EXCED_RANGE);
        if (!SetEnvironmentVariableW(variable_name, expanded)) {
            const DWORD code = GetLastError();
            fail_launch(code);
        }
        trace(L"variable %ls=%ls", variable_name, expanded);
    }
}

bool uses_quick_check() {
    return (launcher_build_values().launch_flags & values_section::quick_check) != 0;
}

unsigned kept_versions() {
    return launcher_build_values().launch_flags >> values_section::kept_versions_shift;
}

bool starts_in_app_folder() {
    return (launcher_build_values().launch_flags & values_section::start_in_app_folder) != 0;
}
