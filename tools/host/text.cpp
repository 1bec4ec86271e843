#include "tools/host/text.h"

std::string in_quotes(const std::string& text) { return "'" + text + "'"; }

std::size_t decode_utf8_at(const std::string& text, std::size_t i, std::uint32_t& code_point) {
    static const std::uint32_t min_for_length[] = {0, 0x80, 0x800, 0x10000};
    const unsigned char b = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    std::uint32_t c;
    if (b < 0x80) {
        extra = 0;
        c = b;
    } else if ((b & 0xE0) == 0xC0) {
        extra = 1;
        c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        extra = 2;
        c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        extra = 3;
        c = b & 0x07;
    } else {
        return 0;
    }
    if (text.size() - i <= extra) return 0;
    for (std::size_t k = 1; k <= extra; ++k) {
        const unsigned char cb = static_cast<unsigned char>(text[i + k]);
        if ((cb & 0xC0) != 0x80) return 0;
        c = (c << 6) | (cb & 0x3F);
    }
    // Overlong forms and values beyond Unicode are no valid sequence.
    if (c < min_for_length[extra] || c > 0x10FFFF) return 0;
    code_point = c;
    return extra + 1;
}

void append_utf16(std::u16string& out, std::uint32_t c) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

std::u16string utf8_to_utf16(const std::string& text, const std::string& what) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t c = 0;
        const std::size_t n = decode_utf8_at(text, i, c);
        if (n == 0 || (c >= 0xD800 && c <= 0xDFFF)) {
            throw tool_error(what + " is not valid UTF-8: " + in_quotes(text));
        }
        append_utf16(out, c);
        i += n;
    }
    return out;
}

std::string utf16_to_utf8(const std::u16string& text, bool* exact) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000 && exact != nullptr) {
            *exact = false;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
