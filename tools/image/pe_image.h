// The launcher image as `fenwix build` writes it: the precompiled stub with
// two sections added at its end, the resources (.rsrc) and the build-time
// values with the payload block (.fenwix, see format/values_section.h).
// Everything here is a pure function over bytes; only build_command.cpp
// touches files.
//
// Only what the loader, the resource reader and the signer read is written:
// the section table, SizeOfImage, SizeOfInitializedData, the resource
// directory entry, a zero timestamp and the checksum. Nothing follows the
// last section, so a signature covers everything the launcher uses, and no
// byte lies between sections, so every signer computes the digest Windows
// checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct pe_section {
    char name[8];
    std::uint32_t virtual_size;
    std::uint32_t virtual_address;
    std::uint32_t raw_size;
    std::uint32_t raw_offset;
    std::uint32_t characteristics;
};

struct pe_headers {
    std::size_t nt_offset;             // "PE\0\0"
    std::size_t optional_offset;       // the PE32+ optional header
    std::size_t section_table_offset;  // the first section header
    std::uint32_t file_alignment;
    std::uint32_t section_alignment;
    std::uint32_t size_of_headers;
    std::uint32_t size_of_image;
    std::vector<pe_section> sections;
    std::uint64_t end_of_raw_data;  // the end of the last section's data in the file
};

// Reads the headers of a 64-bit Windows image. `data` holds the first
// `available` bytes of a file of `file_size` bytes; it must reach at least to
// the end of the section table. Throws tool_error("<what>: <reason>") when
// the bytes are no such image, or when a section lies outside the file.
pe_headers parse_pe_headers(const unsigned char* data, std::size_t available,
                            std::uint64_t file_size, const std::string& what);

// How much of a file program_image_problem looks at: the headers of any
// program a linker writes lie well within it.
constexpr std::size_t program_head_size = 4096;

// Why the first bytes of a file (up to program_head_size) are not those of a
// 64-bit Windows program that Windows can start (an x64 PE32+ image marked
// executable, not a DLL), or empty when they are.
std::string program_image_problem(const unsigned char* data, std::size_t size);

// The section with this (zero-padded) name, or nullptr.
const pe_section* find_section(const pe_headers& headers, const char (&name)[8]);

// The PE checksum: a 16-bit end-around-carry sum of the file's 16-bit words
// (with the checksum field read as zero), plus the file's length. Sums of
// pieces that start at even offsets add up.
std::uint64_t pe_checksum_add(std::uint64_t sum, const unsigned char* data, std::size_t size);
std::uint32_t pe_checksum_finish(std::uint64_t sum, std::uint64_t file_size);
// Offset of the CheckSum field in the file.
std::size_t checksum_field_offset(const pe_headers& headers);

// Checks that the stub can take the two added sections: a sound image whose
// checksum is right (a damaged or cut stub shows here), nothing after its
// last section, no resources, no signature, no values section yet, and room
// in its headers for two more section headers. Throws tool_error naming
// `what` (where the stub came from).
pe_headers check_stub(const std::vector<unsigned char>& stub, const std::string& what);

// Where the resource section will be mapped: the resource writer needs it.
std::uint32_t resource_section_rva(const pe_headers& stub_headers);

// Everything of the output file before the block: the stub with its headers
// set for the two added sections, the resource section, and the values
// section's header and texts (values_head, made for block_length), and the
// Windows GUI subsystem instead of the console one when `windowed`. Sets
// `file_size` to the size of the whole output, the block and the padding
// after it included. The prefix's size does not depend on block_length. The
// checksum field is left 0 for the caller, who sums the block as it writes
// it. Throws tool_error when the image would not fit Windows' 32-bit sizes.
std::vector<unsigned char> image_prefix(const std::vector<unsigned char>& stub,
                                        const pe_headers& stub_headers,
                                        const std::vector<unsigned char>& resource_section,
                                        const std::vector<unsigned char>& values_head,
                                        std::uint64_t block_length, bool windowed,
                                        std::uint64_t& file_size);

// The checksum of bytes written in order, in pieces of any size.
struct pe_checksum_stream {
    std::uint64_t sum = 0;
    std::uint64_t offset = 0;  // bytes fed so far: an odd count splits a word
};
void pe_checksum_feed(pe_checksum_stream& stream, const unsigned char* data, std::size_t size);
