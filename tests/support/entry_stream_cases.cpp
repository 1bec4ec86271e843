#include "tests/support/entry_stream_cases.h"

#include "format/block.h"

#include <zlib.h>

#include <cstdio>

namespace {

std::uint32_t stored_checksum_of(const unsigned char* data, std::size_t n, std::uint32_t crc) {
    return static_cast<std::uint32_t>(crc32_z(crc, data, n));
}

bytes header(const std::u16string& name, std::uint64_t size, std::uint32_t checksum) {
    bytes out;
    for (char16_t u : name) {
        out.push_back(static_cast<unsigned char>(u & 0xFF));
        out.push_back(static_cast<unsigned char>(u >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    unsigned char fields[12];
    payload_format::put_u64_le(fields, size);
    payload_format::put_u32_le(fields + 8, checksum);
    out.insert(out.end(), fields, fields + sizeof fields);
    return out;
}

bytes entry(const std::u16string& name, const bytes& data) {
    const std::uint32_t crc = stored_checksum_of(data.data(), data.size(), crc32_z(0, nullptr, 0));
    bytes out = header(name, data.size(), payload_format::entry_checksum_from_crc(crc));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes cut(const bytes& b, std::size_t drop) { return bytes(b.begin(), b.end() - drop); }

const bytes terminator = {0, 0};

block_reader::decoded plain_decode(void* context, unsigned char* out, std::size_t capacity,
                                   std::size_t& produced) {
    plain_decoder& d = *static_cast<plain_decoder*>(context);
    std::size_t n = d.stream->size() - d.at;
    if (n > d.step) n = d.step;
    if (n > capacity) n = capacity;
    for (std::size_t i = 0; i < n; ++i) out[i] = (*d.stream)[d.at + i];
    d.at += n;
    produced = n;
    if (d.at < d.stream->size()) return block_reader::decoded::going;
    return n > 0 ? block_reader::decoded::frame_end : block_reader::decoded::exhausted;
}

}  // namespace

std::vector<stream_case> entry_stream_cases() {
    // Larger than the launcher's window, so its data span several refills.
    bytes big(payload_format::window_size + 7);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7 + 3);
    const bytes four = {'M', 'Z', 1, 2};
    const bytes three =
        entry(u"a.exe", four) + entry(u"lib\\big.bin", big) + entry(u"docs\\\u00dcber.txt", {});
    const std::string three_lines =
        "a.exe 4 right\nlib\\big.bin 131079 right\ndocs\\\\u00DCber.txt 0 right\n";
    const std::u16string longest(payload_format::max_name_units, u'n');
    const std::string longest_line =
        std::string(payload_format::max_name_units, 'n') + " 1 right\n";
    return {
        {"only the terminator", terminator, "", "end", false},
        {"entries of every size", three + terminator, three_lines, "end", false},
        {"a name of 1,023 units", entry(longest, {'x'}) + terminator, longest_line, "end", false},
        {"a name of 1,024 units without its end",
         entry(u"a.exe", four) + cut(entry(longest + u"n", {}), 14), "a.exe 4 right\n",
         "name too long", true},
        {"a name that leaves the folder", entry(u"..\\x", {'x'}) + terminator,
         "..\\x 1 right bad name\n", "end", true},
        {"a stored checksum the data do not give",
         header(u"x.dll", 1, 0x12345678) + bytes{'x'} + terminator, "x.dll 1 wrong\n", "end",
         false},
        {"bytes after the terminator", three + terminator + bytes{'z'}, three_lines, "after end",
         false},
        {"no terminator", three, three_lines, "cut short", true},
        {"cut inside a name", three + cut(header(u"next", 0, 1), 15), three_lines, "cut short",
         true},
        {"cut inside the size and checksum", three + cut(header(u"next", 0, 1), 5), three_lines,
         "cut short", true},
        {"cut inside the data", three + cut(entry(u"next", four), 1), three_lines, "cut short",
         true},
        {"nothing at all", {}, "", "cut short", true},
    };
}

std::string entry_line(const std::u16string& name, std::uint64_t size, bool data_right,
                       bool bad_name) {
    std::string line;
    for (char16_t u : name) {
        if (u >= 0x20 && u < 0x7F) {
            line += static_cast<char>(u);
        } else {
            char escaped[7];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(u));
            line += escaped;
        }
    }
    line += " " + std::to_string(size) + (data_right ? " right" : " wrong");
    return line + (bad_name ? " bad name\n" : "\n");
}

std::string outcome_text(block_reader::result r) {
    switch (r) {
        case block_reader::result::ok:
        case block_reader::result::end:
            return "end";
        case block_reader::result::cut_short:
        case block_reader::result::frame_cut_short:
            return "cut short";
        case block_reader::result::failed:
            return "failed";
        case block_reader::result::name_too_long:
            return "name too long";
        case block_reader::result::after_end:
            return "after end";
    }
    return "?";
}

block_reader::decoder decoder_over(plain_decoder& d) { return {plain_decode, &d}; }

std::string walk_lines(block_reader::reader& r, block_reader::end_rule rule, std::size_t chunk) {
    std::string lines;
    bytes data(chunk);
    for (;;) {
        char16_t name[payload_format::name_buffer_units];
        entry_walk::fields fields;
        const block_reader::result got = block_reader::next_entry(r, name, fields);
        if (got == block_reader::result::end) break;
        if (got != block_reader::result::ok) return lines + outcome_text(got);
        std::uint32_t crc = crc32_z(0, nullptr, 0);
        for (std::uint64_t left = fields.size; left > 0;) {
            const std::size_t n = left < chunk ? static_cast<std::size_t>(left) : chunk;
            const block_reader::result read = block_reader::read(r, data.data(), n);
            if (read != block_reader::result::ok) return lines + outcome_text(read);
            crc = stored_checksum_of(data.data(), n, crc);
            left -= n;
        }
        lines += entry_line(std::u16string(name, fields.units), fields.size,
                            payload_format::entry_checksum_from_crc(crc) == fields.checksum,
                            fields.problem != entry_names::problem::none);
    }
    return lines + outcome_text(block_reader::finish(r, rule));
}
