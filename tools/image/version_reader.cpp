#include "tools/image/version_reader.h"

#include "format/block.h"
#include "tools/host/text.h"

#include <cstring>

namespace {

constexpr std::size_t opt_number_of_directories = 108;
constexpr std::size_t opt_directories = 112;
constexpr std::size_t directory_resource = 2;
constexpr std::uint32_t rt_version = 16;
constexpr std::uint32_t subdirectory_flag = 0x80000000;
constexpr std::uint32_t fixed_signature = 0xFEEF04BD;
constexpr std::size_t fixed_info_size = 52;
// A resource tree is three levels (type, id, language); a deeper or looping
// one is damaged, and so is a directory with more entries than this.
constexpr std::size_t max_directory_entries = 4096;

std::uint32_t le(const unsigned char* p, int bytes) {
    return static_cast<std::uint32_t>(payload_format::read_le(p, bytes));
}

// The bytes [offset, offset + size) of the section, when they lie within it.
bool within(const std::vector<unsigned char>& section, std::uint64_t offset, std::uint64_t size) {
    return offset <= section.size() && size <= section.size() - offset;
}

// The target of the entry with this id in the directory at `offset` (from
// the resource directory's start), or of its first entry when `id` is 0;
// false when there is none.
bool directory_entry(const std::vector<unsigned char>& section, std::uint64_t base,
                     std::uint64_t offset, std::uint32_t id, std::uint32_t& target) {
    if (!within(section, base + offset, 16)) return false;
    const unsigned char* dir = section.data() + base + offset;
    const std::size_t named = le(dir + 12, 2), ids = le(dir + 14, 2);
    const std::size_t count = named + ids;
    if (count == 0 || count > max_directory_entries ||
        !within(section, base + offset + 16, 8 * count)) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* entry = dir + 16 + 8 * i;
        const std::uint32_t name = le(entry, 4);
        if (id == 0 || (i >= named && name == id)) {
            target = le(entry + 4, 4);
            return true;
        }
    }
    return false;
}

// One block of a version resource: wLength, wValueLength, wType, its key
// with a 0 unit, padding to 32 bits, its value, then its children, each on a
// 32-bit boundary.
struct version_block {
    std::u16string key;
    std::size_t value_start = 0;  // offsets into the resource
    std::size_t value_bytes = 0;  // wValueLength as given (units for text)
    std::size_t children_start = 0;
    std::size_t end = 0;
};

std::size_t align4(std::size_t n) { return (n + 3) & ~static_cast<std::size_t>(3); }

bool read_block(const unsigned char* data, std::size_t limit, std::size_t at, version_block& b) {
    if (at + 6 > limit) return false;
    const std::size_t length = le(data + at, 2);
    if (length < 6 || length > limit - at) return false;
    b.end = at + length;
    b.value_bytes = le(data + at + 2, 2);
    b.key.clear();
    std::size_t p = at + 6;
    for (;; p += 2) {
        if (p + 2 > b.end) return false;
        const char16_t unit = static_cast<char16_t>(le(data + p, 2));
        if (unit == 0) break;
        b.key += unit;
    }
    b.value_start = align4(p + 2);
    if (b.value_start > b.end) b.value_start = b.end;
    return true;
}

// A text value: the units from value_start up to the first 0 unit or the
// block's end, whatever wValueLength says.
std::u16string text_value(const unsigned char* data, const version_block& b) {
    std::u16string out;
    for (std::size_t p = b.value_start; p + 2 <= b.end; p += 2) {
        const char16_t unit = static_cast<char16_t>(le(data + p, 2));
        if (unit == 0) break;
        out += unit;
    }
    return out;
}

// Trims the blanks and control characters many resources carry at the ends.
std::u16string trimmed(const std::u16string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && text[begin] <= u' ') ++begin;
    while (end > begin && text[end - 1] <= u' ') --end;
    return text.substr(begin, end - begin);
}

void take_string(program_version& out, const std::u16string& key, const std::u16string& value) {
    const struct {
        const char16_t* key;
        std::u16string program_version::*field;
    } fields[] = {
        {u"ProductName", &program_version::product_name},
        {u"CompanyName", &program_version::company_name},
        {u"ProductVersion", &program_version::product_version},
        {u"FileVersion", &program_version::file_version},
        {u"FileDescription", &program_version::file_description},
        {u"LegalCopyright", &program_version::legal_copyright},
    };
    for (const auto& f : fields) {
        if (key == f.key) out.*f.field = trimmed(value);
    }
}

void read_version_info(const unsigned char* data, std::size_t size, program_version& out) {
    version_block root;
    if (!read_block(data, size, 0, root) || root.key != u"VS_VERSION_INFO") return;
    std::size_t children = root.value_start;
    if (root.value_bytes >= fixed_info_size && root.value_start + fixed_info_size <= root.end &&
        le(data + root.value_start, 4) == fixed_signature) {
        const unsigned char* fixed = data + root.value_start;
        const std::uint32_t ms = le(fixed + 16, 4), ls = le(fixed + 20, 4);
        out.fixed_product[0] = ms >> 16;
        out.fixed_product[1] = ms & 0xFFFF;
        out.fixed_product[2] = ls >> 16;
        out.fixed_product[3] = ls & 0xFFFF;
        out.has_fixed = true;
        children = root.value_start + fixed_info_size;
    } else if (root.value_bytes != 0) {
        return;  // a value this reader cannot place
    }
    for (std::size_t at = align4(children); at < root.end;) {
        version_block child;
        if (!read_block(data, root.end, at, child)) return;
        if (child.key == u"StringFileInfo") {
            // The first string table; a program with several languages
            // lists its own first.
            version_block table;
            if (!read_block(data, child.end, align4(child.value_start), table)) return;
            for (std::size_t s = align4(table.value_start); s < table.end;) {
                version_block string;
                if (!read_block(data, table.end, s, string)) break;
                take_string(out, string.key, text_value(data, string));
                s = align4(string.end);
            }
            return;
        }
        at = align4(child.end);
    }
}

}  // namespace

bool find_resource_span(const unsigned char* head, std::size_t available, const pe_headers& headers,
                        resource_span& span) {
    const std::size_t count_at = headers.optional_offset + opt_number_of_directories;
    const std::size_t entry_at = headers.optional_offset + opt_directories + 8 * directory_resource;
    if (count_at + 4 > available || le(head + count_at, 4) <= directory_resource ||
        entry_at + 8 > available) {
        return false;
    }
    const std::uint32_t rva = le(head + entry_at, 4);
    if (rva == 0 || le(head + entry_at + 4, 4) == 0) return false;
    for (const pe_section& s : headers.sections) {
        if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) {
            span.file_offset = s.raw_offset;
            span.size = s.raw_size;
            span.section_rva = s.virtual_address;
            span.directory_rva = rva;
            return true;
        }
    }
    return false;
}

program_version read_program_version(const std::vector<unsigned char>& section,
                                     const resource_span& span) {
    program_version out{};
    const std::uint64_t base = span.directory_rva - span.section_rva;
    std::uint32_t target = 0;
    // Type RT_VERSION, then its first id, then its first language.
    if (!directory_entry(section, base, 0, rt_version, target) ||
        (target & subdirectory_flag) == 0 ||
        !directory_entry(section, base, target & ~subdirectory_flag, 0, target) ||
        (target & subdirectory_flag) == 0 ||
        !directory_entry(section, base, target & ~subdirectory_flag, 0, target) ||
        (target & subdirectory_flag) != 0 || !within(section, base + target, 16)) {
        return out;
    }
    const unsigned char* data_entry = section.data() + base + target;
    const std::uint32_t data_rva = le(data_entry, 4), data_size = le(data_entry + 4, 4);
    if (data_rva < span.section_rva || !within(section, data_rva - span.section_rva, data_size)) {
        return out;
    }
    read_version_info(section.data() + (data_rva - span.section_rva), data_size, out);
    return out;
}

std::string four_part_version(const std::u16string& text) {
    std::string out;
    std::size_t at = 0, parts = 0;
    const auto skip_blanks = [&] {
        while (at < text.size() && text[at] == u' ') ++at;
    };
    skip_blanks();
    while (parts < 4 && at < text.size() && text[at] >= u'0' && text[at] <= u'9') {
        unsigned long value = 0;
        std::size_t digits = 0;
        while (at < text.size() && text[at] >= u'0' && text[at] <= u'9') {
            value = value * 10 + (text[at++] - u'0');
            if (++digits > 5 || value > 0xFFFF) return {};
        }
        out += (parts++ == 0 ? "" : ".") + std::to_string(value);
        skip_blanks();
        if (at >= text.size() || (text[at] != u'.' && text[at] != u',')) break;
        ++at;
        skip_blanks();
    }
    if (parts == 0) return {};
    for (; parts < 4; ++parts) out += ".0";
    return out;
}

namespace {

// The headers are complete (or the file ended within them): where does its
// resource section lie, if anywhere?
void locate_resources(version_stream& v) {
    try {
        const pe_headers headers = parse_pe_headers(v.head.data(), v.head.size(), v.file_size, "");
        v.located = find_resource_span(v.head.data(), v.head.size(), headers, v.span) &&
                    v.span.size <= max_resource_section;
    } catch (const tool_error&) {
        v.located = false;  // not an image this reader follows: it gives no names
    }
    v.hopeless = !v.located;
    if (v.located) v.section.resize(v.span.size);
}

// Keeps the part of [at, at + size) of the file that lies in the section.
void keep_section_bytes(version_stream& v, std::uint64_t at, const unsigned char* data,
                        std::size_t size) {
    const std::uint64_t first = v.span.file_offset, end = first + v.span.size;
    const std::uint64_t from = at > first ? at : first, to = at + size < end ? at + size : end;
    if (from < to) {
        std::memcpy(v.section.data() + (from - first), data + (from - at),
                    static_cast<std::size_t>(to - from));
    }
}

}  // namespace

void version_stream_start(version_stream& v, std::uint64_t file_size) {
    v = version_stream{};
    v.file_size = file_size;
}

void version_stream_feed(version_stream& v, const unsigned char* data, std::size_t size) {
    if (v.hopeless) return;
    if (!v.located) {
        const std::size_t room = version_head_bytes - v.head.size();
        v.head.insert(v.head.end(), data, data + (size < room ? size : room));
        if (v.head.size() == version_head_bytes || v.seen + size == v.file_size) {
            locate_resources(v);
            // The section may begin within the headers' bytes.
            if (v.located) keep_section_bytes(v, 0, v.head.data(), v.head.size());
        }
    }
    if (v.located) keep_section_bytes(v, v.seen, data, size);
    v.seen += size;
}

program_version version_stream_finish(version_stream& v) {
    if (!v.located && !v.hopeless) locate_resources(v);  // an empty file
    if (!v.located || v.seen < v.span.file_offset + v.span.size) return {};
    return read_program_version(v.section, v.span);
}
