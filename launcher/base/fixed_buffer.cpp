#include "launcher/base/fixed_buffer.h"

#include "launcher/base/abnormal_end.h"

#include <cwchar>

bool wide_append_units(wchar_t* buffer, std::size_t capacity, const wchar_t* text,
                       std::size_t count) {
    const std::size_t used = wide_length_within(buffer, capacity);
    if (used >= capacity || count >= capacity - used) return false;
    wmemcpy(buffer + used, text, count);
    buffer[used + count] = L'\0';
    return true;
}

bool wide_append(wchar_t* buffer, std::size_t capacity, const wchar_t* text) {
    return wide_append_units(buffer, capacity, text, wcslen(text));
}

bool wide_copy(wchar_t* buffer, std::size_t capacity, const wchar_t* text) {
    const std::size_t n = wcslen(text);
    if (n >= capacity) return false;
    wmemmove(buffer, text, n);
    buffer[n] = L'\0';
    return true;
}

void wide_copy_or_abort(wchar_t* buffer, std::size_t capacity, const wchar_t* text) {
    if (!wide_copy(buffer, capacity, text)) abnormal_end();
}

void wide_append_or_abort(wchar_t* buffer, std::size_t capacity, const wchar_t* text) {
    if (!wide_append(buffer, capacity, text)) abnormal_end();
}

std::size_t wide_length_within(const wchar_t* buffer, std::size_t capacity) {
    std::size_t n = 0;
    while (n < capacity && buffer[n] != L'\0') ++n;
    return n;
}

wchar_t* find_last_backslash(wchar_t* text, bool skip_first) {
    const std::size_t n = wcslen(text);
    const std::size_t stop = skip_first ? 1 : 0;
    for (std::size_t i = n; i > stop; --i) {
        if (text[i - 1] == L'\\') return text + (i - 1);
    }
    return nullptr;
}
