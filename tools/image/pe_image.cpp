#include "tools/image/pe_image.h"

#include "format/values_section.h"
#include "tools/host/text.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t file_header_size = 20;
constexpr std::size_t section_header_size = 40;
constexpr std::uint16_t machine_amd64 = 0x8664;
constexpr std::uint16_t pe32_plus_magic = 0x20B;
// The file header's Characteristics and two of its flags.
constexpr std::size_t file_characteristics = 18;
constexpr std::uint16_t image_file_executable = 0x0002;
constexpr std::uint16_t image_file_dll = 0x2000;
// Offsets inside the PE32+ optional header.
constexpr std::size_t opt_section_alignment = 32;
constexpr std::size_t opt_file_alignment = 36;
constexpr std::size_t opt_size_of_image = 56;
constexpr std::size_t opt_size_of_headers = 60;
constexpr std::size_t opt_checksum = 64;
constexpr std::size_t opt_subsystem = 68;
constexpr std::uint16_t subsystem_windows_gui = 2;
constexpr std::size_t opt_fixed_size = 112;  // up to NumberOfRvaAndSizes included
constexpr std::size_t opt_size_of_initialized_data = 8;
constexpr std::size_t opt_number_of_directories = 108;
constexpr std::size_t opt_directories = 112;
constexpr std::size_t directory_resource = 2;
constexpr std::size_t directory_security = 4;
constexpr std::uint32_t read_only_data = 0x40000040;  // initialized data, readable
constexpr std::uint64_t page_size = 4096;
constexpr char resource_section_name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};

std::uint32_t u16_at(const unsigned char* p) {
    return static_cast<std::uint32_t>(payload_format::read_le(p, 2));
}
std::uint32_t u32_at(const unsigned char* p) {
    return static_cast<std::uint32_t>(payload_format::read_le(p, 4));
}
void put_u32(unsigned char* p, std::uint64_t v) { payload_format::write_le(p, v, 4); }

bool power_of_two(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::uint64_t align_up(std::uint64_t v, std::uint64_t alignment) {
    return (v + alignment - 1) / alignment * alignment;
}

std::uint32_t directory_size(const std::vector<unsigned char>& image, const pe_headers& h,
                             std::size_t index) {
    const std::size_t count = u32_at(image.data() + h.optional_offset + opt_number_of_directories);
    if (index >= count) return 0;
    return u32_at(image.data() + h.optional_offset + opt_directories + 8 * index + 4);
}

}  // namespace

pe_headers parse_pe_headers(const unsigned char* data, std::size_t available,
                            std::uint64_t file_size, const std::string& what) {
    const auto bad = [&](const std::string& reason) { return tool_error(what + ": " + reason); };
    if (available > file_size) available = static_cast<std::size_t>(file_size);
    if (available < 64 || data[0] != 'M' || data[1] != 'Z') {
        throw bad("not a Windows executable");
    }
    pe_headers h{};
    h.nt_offset = u32_at(data + 60);
    if (h.nt_offset > available || available - h.nt_offset < 4 + file_header_size ||
        std::memcmp(data + h.nt_offset, "PE\0\0", 4) != 0) {
        throw bad("not a Windows executable");
    }
    const unsigned char* file_header = data + h.nt_offset + 4;
    if (u16_at(file_header) != machine_amd64) throw bad("not a 64-bit Windows executable");
    const std::size_t section_count = u16_at(file_header + 2);
    const std::size_t optional_size = u16_at(file_header + 16);
    h.optional_offset = h.nt_offset + 4 + file_header_size;
    if (optional_size < opt_fixed_size || available - h.optional_offset < optional_size) {
        throw bad("the image's headers are cut short");
    }
    const unsigned char* opt = data + h.optional_offset;
    if (u16_at(opt) != pe32_plus_magic) throw bad("not a 64-bit Windows executable");
    h.section_alignment = u32_at(opt + opt_section_alignment);
    h.file_alignment = u32_at(opt + opt_file_alignment);
    h.size_of_image = u32_at(opt + opt_size_of_image);
    h.size_of_headers = u32_at(opt + opt_size_of_headers);
    if (!power_of_two(h.file_alignment) || !power_of_two(h.section_alignment) ||
        h.file_alignment > h.section_alignment || h.file_alignment < 0x200) {
        throw bad("the image's alignments are invalid");
    }
    h.section_table_offset = h.optional_offset + optional_size;
    if (section_count == 0 ||
        (available - h.section_table_offset) / section_header_size < section_count ||
        h.section_table_offset + section_count * section_header_size > h.size_of_headers ||
        h.size_of_headers > file_size) {
        throw bad("the image's section table is damaged or cut short");
    }
    h.end_of_raw_data = h.size_of_headers;
    std::uint64_t end_of_image = h.size_of_headers;
    for (std::size_t i = 0; i < section_count; ++i) {
        const unsigned char* s = data + h.section_table_offset + i * section_header_size;
        pe_section sec{};
        std::memcpy(sec.name, s, 8);
        sec.virtual_size = u32_at(s + 8);
        sec.virtual_address = u32_at(s + 12);
        sec.raw_size = u32_at(s + 16);
        sec.raw_offset = u32_at(s + 20);
        sec.characteristics = u32_at(s + 36);
        if (sec.raw_size != 0) {
            if (sec.raw_offset < h.size_of_headers ||
                static_cast<std::uint64_t>(sec.raw_offset) + sec.raw_size > file_size) {
                throw bad("a section lies outside the file (the file is cut short?)");
            }
            const std::uint64_t end = static_cast<std::uint64_t>(sec.raw_offset) + sec.raw_size;
            if (end > h.end_of_raw_data) h.end_of_raw_data = end;
        }
        // Sections follow one another in memory, each on the section alignment.
        if (sec.virtual_address % h.section_alignment != 0 || sec.virtual_address < end_of_image) {
            throw bad("the image's sections overlap or are out of order");
        }
        const std::uint64_t span =
            sec.virtual_size > sec.raw_size ? sec.virtual_size : sec.raw_size;
        end_of_image = static_cast<std::uint64_t>(sec.virtual_address) + span;
        h.sections.push_back(sec);
    }
    if (end_of_image > h.size_of_image) throw bad("the image's size is wrong");
    return h;
}

std::string program_image_problem(const unsigned char* data, std::size_t size) {
    if (size > program_head_size) size = program_head_size;
    if (size < 64 || data[0] != 'M' || data[1] != 'Z') return "it has no Windows executable header";
    const std::size_t nt_offset = u32_at(data + 60);
    // The signature, the file header and the optional header's magic.
    if (nt_offset > size || size - nt_offset < 4 + file_header_size + 2 ||
        std::memcmp(data + nt_offset, "PE\0\0", 4) != 0) {
        return "it has no PE header within its first " + std::to_string(program_head_size) +
               " bytes";
    }
    const unsigned char* file_header = data + nt_offset + 4;
    if (u16_at(file_header) != machine_amd64) return "it is built for a processor other than x64";
    if (u16_at(file_header + file_header_size) != pe32_plus_magic) {
        return "its optional header is not the 64-bit (PE32+) one";
    }
    const std::uint32_t flags = u16_at(file_header + file_characteristics);
    if ((flags & image_file_dll) != 0) return "it is a DLL";
    if ((flags & image_file_executable) == 0) return "it is not marked as an executable image";
    return {};
}

const pe_section* find_section(const pe_headers& headers, const char (&name)[8]) {
    for (const pe_section& s : headers.sections) {
        if (std::memcmp(s.name, name, 8) == 0) return &s;
    }
    return nullptr;
}

std::uint64_t pe_checksum_add(std::uint64_t sum, const unsigned char* data, std::size_t size) {
    // 32-bit words into a 64-bit sum, folded later: the same end-around-carry
    // sum as 16-bit words, but four times fewer steps over a large block.
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) sum += u32_at(data + i);
    if (i + 2 <= size) {
        sum += u16_at(data + i);
        i += 2;
    }
    if (i < size) sum += data[i];  // an odd last byte counts as a word with a zero high byte
    return sum;
}

std::uint32_t pe_checksum_finish(std::uint64_t sum, std::uint64_t file_size) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + file_size);
}

std::size_t checksum_field_offset(const pe_headers& headers) {
    return headers.optional_offset + opt_checksum;
}

pe_headers check_stub(const std::vector<unsigned char>& stub, const std::string& what) {
    const pe_headers h = parse_pe_headers(stub.data(), stub.size(), stub.size(), what);
    const auto bad = [&](const std::string& reason) { return tool_error(what + ": " + reason); };
    if (h.end_of_raw_data != stub.size()) throw bad("it has data after its last section");
    std::vector<unsigned char> zeroed = stub;
    const std::size_t field = checksum_field_offset(h);
    put_u32(zeroed.data() + field, 0);
    const std::uint32_t sum =
        pe_checksum_finish(pe_checksum_add(0, zeroed.data(), zeroed.size()), zeroed.size());
    if (sum != u32_at(stub.data() + field)) throw bad("its checksum is wrong (damaged?)");
    if (find_section(h, resource_section_name) != nullptr ||
        directory_size(stub, h, directory_resource) != 0) {
        throw bad("it already has resources");
    }
    if (directory_size(stub, h, directory_security) != 0) throw bad("it is signed");
    if (u32_at(stub.data() + h.optional_offset + opt_number_of_directories) <= directory_security) {
        throw bad("its data directory is too short");
    }
    if (find_section(h, values_section::section_name) != nullptr)
        throw bad("it already has build values");
    std::uint64_t first_raw = h.size_of_headers;
    for (const pe_section& s : h.sections) {
        if (s.raw_size != 0 && s.raw_offset < first_raw) first_raw = s.raw_offset;
    }
    if (h.section_table_offset + (h.sections.size() + 2) * section_header_size > first_raw) {
        throw bad("its headers have no room for two more sections");
    }
    return h;
}

std::uint32_t resource_section_rva(const pe_headers& h) {
    const pe_section& last = h.sections.back();
    const std::uint64_t span =
        last.virtual_size > last.raw_size ? last.virtual_size : last.raw_size;
    return static_cast<std::uint32_t>(
        align_up(static_cast<std::uint64_t>(last.virtual_address) + span, h.section_alignment));
}

std::vector<unsigned char> image_prefix(const std::vector<unsigned char>& stub, const pe_headers& h,
                                        const std::vector<unsigned char>& resource_section,
                                        const std::vector<unsigned char>& values_head,
                                        std::uint64_t block_length, bool windowed,
                                        std::uint64_t& file_size) {
    const std::uint64_t rsrc_rva = resource_section_rva(h);
    const std::uint64_t rsrc_raw = stub.size();
    // On a page boundary in the file, so that a loader can map the block's
    // pages from the file as they are read, rather than read it all at
    // start (Wine reads any section it cannot map).
    const std::uint64_t values_raw = align_up(rsrc_raw + resource_section.size(),
                                              std::max<std::uint64_t>(page_size, h.file_alignment));
    // The resources' file data run up to the values section's, so that every
    // byte lies in the headers or a section: Windows' Authenticode digest
    // skips bytes between sections, osslsigncode's hashes the file straight
    // through, and only without such bytes do the two agree.
    const std::uint64_t rsrc_raw_size = values_raw - rsrc_raw;
    // In memory the section keeps the resources' size, unless its file data
    // would then reach into the next section's pages: the loaders map no more
    // than VirtualSize gives, but a reader taking the larger of the two sizes
    // would see the sections overlap. Then the padding is mapped too, as zeros.
    const std::uint64_t rsrc_virtual_size =
        rsrc_raw_size > align_up(resource_section.size(), h.section_alignment)
            ? rsrc_raw_size
            : resource_section.size();
    const std::uint64_t values_rva = align_up(rsrc_rva + rsrc_virtual_size, h.section_alignment);
    const std::uint64_t values_size = values_head.size() + block_length;
    const std::uint64_t values_raw_size = align_up(values_size, h.file_alignment);
    const std::uint64_t size_of_image = align_up(values_rva + values_size, h.section_alignment);
    file_size = values_raw + values_raw_size;
    if (size_of_image > 0xFFFFFFFFu || file_size > 0xFFFFFFFFu) {
        throw tool_error("the block is too large: a Windows executable holds less than 4 GiB");
    }

    std::vector<unsigned char> out(values_raw + values_head.size(), 0);
    std::copy(stub.begin(), stub.end(), out.begin());
    std::copy(resource_section.begin(), resource_section.end(), out.begin() + rsrc_raw);
    std::copy(values_head.begin(), values_head.end(), out.begin() + values_raw);

    unsigned char* file_header = out.data() + h.nt_offset + 4;
    const std::size_t count = h.sections.size();
    file_header[2] = static_cast<unsigned char>((count + 2) & 0xFF);
    file_header[3] = static_cast<unsigned char>((count + 2) >> 8);
    put_u32(file_header + 4, 0);  // TimeDateStamp: the same bytes whatever the clock says
    unsigned char* opt = out.data() + h.optional_offset;
    put_u32(opt + opt_size_of_initialized_data,
            u32_at(opt + opt_size_of_initialized_data) + rsrc_raw_size + values_raw_size);
    put_u32(opt + opt_size_of_image, size_of_image);
    put_u32(opt + opt_checksum, 0);
    // The launcher reads its own subsystem to know whether it has a console.
    if (windowed) payload_format::write_le(opt + opt_subsystem, subsystem_windows_gui, 2);
    put_u32(opt + opt_directories + 8 * directory_resource, rsrc_rva);
    put_u32(opt + opt_directories + 8 * directory_resource + 4, resource_section.size());

    const auto add_section = [&](std::size_t index, const char(&name)[8], std::uint64_t size,
                                 std::uint64_t rva, std::uint64_t raw_size, std::uint64_t raw) {
        unsigned char* s = out.data() + h.section_table_offset + index * section_header_size;
        std::memset(s, 0, section_header_size);
        std::memcpy(s, name, 8);
        put_u32(s + 8, size);
        put_u32(s + 12, rva);
        put_u32(s + 16, raw_size);
        put_u32(s + 20, raw);
        put_u32(s + 36, read_only_data);
    };
    add_section(count, resource_section_name, rsrc_virtual_size, rsrc_rva, rsrc_raw_size, rsrc_raw);
    add_section(count + 1, values_section::section_name, values_size, values_rva, values_raw_size,
                values_raw);
    return out;
}

void pe_checksum_feed(pe_checksum_stream& stream, const unsigned char* data, std::size_t size) {
    std::size_t i = 0;
    if (stream.offset % 2 == 1 && size > 0) {
        stream.sum += static_cast<std::uint64_t>(data[0]) << 8;  // the high byte of a split word
        i = 1;
    }
    stream.sum = pe_checksum_add(stream.sum, data + i, size - i);
    stream.offset += size;
}
