#include "tools/pack/packer.h"

#include "format/block.h"
#include "tools/host/file_ptr.h"
#include "tools/host/host_platform.h"
#include "tools/pack/block_file.h"
#include "tools/pack/frame_compress.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t io_chunk = 1 << 20;

file_ptr open_for_reading(const std::string& path) {
    file_ptr f(open_file(path, "rb"));
    if (!f) throw tool_error("cannot read " + in_quotes(path) + ": " + std::strerror(errno));
    return f;
}

void write_all(std::FILE* out, const void* data, std::size_t n) {
    if (n != 0 && std::fwrite(data, 1, n, out) != n) {
        throw tool_error(std::string("cannot write output: ") + std::strerror(errno));
    }
}

}  // namespace

void checksum_file(const std::string& path, std::uint32_t& crc, std::uint64_t& size) {
    file_ptr f = open_for_reading(path);
    std::vector<unsigned char> buffer(io_chunk);
    uLong value = crc32(0L, Z_NULL, 0);
    size = 0;
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), f.get());
        if (n > 0) {
            value = crc32_z(value, buffer.data(), n);
            size += n;
        }
        if (n < buffer.size()) {
            if (std::ferror(f.get())) throw tool_error("cannot read " + in_quotes(path));
            break;
        }
    }
    crc = static_cast<std::uint32_t>(value);
}

std::vector<unsigned char> encode_entry_header(const std::u16string& name, std::uint64_t size,
                                               std::uint32_t stored_checksum) {
    std::vector<unsigned char> out;
    out.reserve(2 * name.size() + 2 + 12);
    for (char16_t u : name) {
        out.push_back(static_cast<unsigned char>(u & 0xFF));
        out.push_back(static_cast<unsigned char>(u >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    unsigned char fields[12];
    payload_format::put_u64_le(fields, size);
    payload_format::put_u32_le(fields + 8, stored_checksum);
    out.insert(out.end(), fields, fields + sizeof fields);
    return out;
}

namespace {

constexpr std::uint64_t mib = 1 << 20;

// The stream's length from the sizes the files have now.
std::uint64_t planned_stream_length(const std::vector<folder_entry>& entries) {
    std::uint64_t length = 2;
    for (const folder_entry& e : entries) {
        std::error_code ec;
        const std::uintmax_t size = fs::file_size(path_from_utf8(e.disk_path), ec);
        length += 2 * e.name.size() + 2 + 12 + (ec ? 0 : size);
    }
    return length;
}

std::uint64_t frame_bytes_of(const frame_plan& plan, std::uint64_t stream_length) {
    return plan.frame_bytes != 0 ? plan.frame_bytes : frame_bytes_for(stream_length);
}

void append_frame_table(std::vector<unsigned char>& index,
                        const std::vector<payload_index::frame>& frames) {
    unsigned char field[8];
    payload_format::put_u32_le(field, static_cast<std::uint32_t>(frames.size()));
    index.insert(index.end(), field, field + payload_index::frame_count_size);
    for (const payload_index::frame& f : frames) {
        payload_format::put_u64_le(field, f.block_offset);
        index.insert(index.end(), field, field + 8);
        payload_format::put_u64_le(field, f.stream_offset);
        index.insert(index.end(), field, field + 8);
    }
}

std::uint64_t frame_table_length(std::uint64_t frames) {
    return payload_index::frame_count_size + payload_index::frame_record_size * frames;
}

}  // namespace

std::uint64_t frame_bytes_for(std::uint64_t stream_bytes) {
    const std::uint64_t eighth = (stream_bytes + 8 * mib - 1) / (8 * mib) * mib;
    return std::min(std::max(eighth, 32 * mib), 128 * mib);
}

std::vector<std::size_t> stream_order(const std::vector<folder_entry>& entries) {
    std::vector<std::size_t> order(entries.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    if (order.size() < 2) return order;
    // Extension and file name, as UTF-16 units, so every host sorts alike.
    const auto key = [&](std::size_t i) {
        const std::u16string& name = entries[i].name;
        const std::size_t slash = name.rfind(u'\\');
        const std::u16string base = slash == std::u16string::npos ? name : name.substr(slash + 1);
        const std::size_t dot = base.rfind(u'.');
        return std::make_pair(dot == std::u16string::npos ? std::u16string() : base.substr(dot),
                              base);
    };
    std::stable_sort(order.begin() + 1, order.end(),
                     [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
    return order;
}

std::uint64_t index_length(const std::vector<folder_entry>& entries, const frame_plan& plan) {
    std::uint64_t length = 2;  // the terminator
    for (const folder_entry& e : entries) length += 2 * e.name.size() + 2 + 12;
    const std::uint64_t stream = planned_stream_length(entries);
    return length + frame_table_length(frame_count_for(stream, frame_bytes_of(plan, stream)));
}

void write_block_to(const std::vector<folder_entry>& entries, int level, const block_sink& out,
                    std::vector<unsigned char>* index, const progress_sink& progress,
                    const frame_plan& plan) {
    // The frames are cut by the stream's planned length, so the index's
    // length is known before packing; the files' sums go first, as every
    // header carries its entry's.
    const std::uint64_t planned = planned_stream_length(entries);
    const std::uint64_t frame_bytes = frame_bytes_of(plan, planned);
    stream_layout layout;
    layout.entries.reserve(entries.size());
    std::uint64_t at = 0;
    for (const std::size_t i : stream_order(entries)) {
        const folder_entry& e = entries[i];
        stream_entry s;
        checksum_file(e.disk_path, s.crc, s.size);
        s.header =
            encode_entry_header(e.name, s.size, payload_format::entry_checksum_from_crc(s.crc));
        s.disk_path = e.disk_path;
        s.start = at;
        at += s.header.size() + s.size;
        layout.entries.push_back(std::move(s));
    }
    layout.length = at + 2;
    if (layout.length != planned) {
        throw tool_error(
            "the folder changed while it was packed: a file's size is not what it was");
    }
    out(payload_format::magic, payload_format::magic_size);
    std::uint64_t compressed = 0;
    const std::vector<payload_index::frame> frames = compress_frames(
        layout, level, frame_bytes, plan.threads,
        plan.memory_bytes != 0 ? plan.memory_bytes : compress_memory_budget,
        [&](const void* data, std::size_t n) {
            out(data, n);
            compressed += n;
        },
        progress);
    unsigned char tail[payload_format::tail_size];
    payload_format::put_tail(tail, compressed);
    out(tail, sizeof tail);
    if (index == nullptr) return;
    index->clear();
    for (const stream_entry& s : layout.entries) {
        index->insert(index->end(), s.header.begin(), s.header.end());
    }
    index->push_back(0);
    index->push_back(0);
    append_frame_table(*index, frames);
}

std::uint64_t total_file_bytes(const std::vector<folder_entry>& entries) {
    std::uint64_t total = 0;
    for (const folder_entry& e : entries) {
        std::error_code ec;
        const std::uintmax_t size = fs::file_size(path_from_utf8(e.disk_path), ec);
        if (!ec) total += size;
    }
    return total;
}

void write_block(const std::vector<folder_entry>& entries, const std::string& out_path, int level,
                 const progress_sink& progress, const frame_plan& plan) {
    write_file_atomically(out_path, [&](std::FILE* out) {
        write_block_to(
            entries, level, [&](const void* data, std::size_t n) { write_all(out, data, n); },
            nullptr, progress, plan);
    });
}

std::vector<unsigned char> index_of_block(const std::string& block_path) {
    std::error_code ec;
    const std::uint64_t length = fs::file_size(path_from_utf8(block_path), ec);
    file_ptr f(open_file(block_path, "rb"));
    if (ec || !f) return {};
    std::vector<unsigned char> index;
    try {
        check_block_ends(f.get(), block_path, 0, length, in_quotes(block_path));
        block_stream s(f.get(), block_path, 0, length);
        block_entry e;
        while (s.next_entry(e)) {
            if (e.problem != entry_names::problem::none) return {};
            const std::vector<unsigned char> header =
                encode_entry_header(e.name, e.size, e.checksum);
            index.insert(index.end(), header.begin(), header.end());
            s.copy_entry_data(e, nullptr, {});
        }
        s.expect_end();
        index.push_back(0);
        index.push_back(0);
        append_frame_table(index, s.frames());
    } catch (const tool_error&) {
        return {};
    }
    return index;
}
