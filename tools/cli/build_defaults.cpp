#include "tools/cli/build_defaults.h"

#include "tools/host/host_platform.h"

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string utf8(const std::u16string& text) { return utf16_to_utf8(text); }

// The output's file name without ".exe" (in any case).
std::string output_stem(const std::string& output) {
    std::string name = path_to_utf8(path_from_utf8(output).filename());
    if (name.size() >= 4) {
        std::string ext = name.substr(name.size() - 4);
        for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (ext == ".exe") name.resize(name.size() - 4);
    }
    return name;
}

std::string version_of(const program_version& main) {
    for (const std::u16string* text : {&main.product_version, &main.file_version}) {
        const std::string v = four_part_version(*text);
        if (!v.empty()) return v;
    }
    if (main.has_fixed) {
        return std::to_string(main.fixed_product[0]) + "." + std::to_string(main.fixed_product[1]) +
               "." + std::to_string(main.fixed_product[2]) + "." +
               std::to_string(main.fixed_product[3]);
    }
    return unknown_version;
}

}  // namespace

const char default_template_with_company[] = "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}";
const char default_template_without_company[] = "{CACHE_DIR}\\{PRODUCT}";
const char unknown_version[] = "0.0.0.0";

const build_text_default build_text_defaults[build_text_count] = {
    {"--product", &build_options::product,
     "the main program's ProductName, else the output's file name without .exe"},
    {"--company", &build_options::company, "the main program's CompanyName, else none"},
    {"--version", &build_options::version,
     "the main program's ProductVersion, else its FileVersion (the leading numbers, "
     "missing ones 0), else the numbers of its fixed version, else 0.0.0.0"},
    {"--description", &build_options::description,
     "the main program's FileDescription, else the product name"},
    {"--copyright", &build_options::copyright,
     "the main program's LegalCopyright, else \"Copyright (C) COMPANY\" when there is a "
     "company, else none"},
    {"--template", &build_options::extraction_template,
     "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}, or {CACHE_DIR}\\{PRODUCT} when there is no company"},
};

void apply_build_defaults(build_options& o, const program_version& main) {
    const auto missing = [&](build_text t) { return (o.given & (1u << t)) == 0; };
    // In order: each rule below may use the texts before it.
    if (missing(text_product)) {
        o.product = utf8(main.product_name);
        if (o.product.empty()) o.product = output_stem(o.output);
        if (o.product.empty()) {
            throw tool_error(
                "no product name: the main program's version resource gives none, nor does the "
                "output's file name; give --product NAME");
        }
    }
    if (missing(text_company)) o.company = utf8(main.company_name);
    if (missing(text_version)) o.version = version_of(main);
    if (missing(text_description)) {
        o.description = utf8(main.file_description);
        if (o.description.empty()) o.description = o.product;
    }
    if (missing(text_copyright)) {
        o.copyright = utf8(main.legal_copyright);
        if (o.copyright.empty() && !o.company.empty()) o.copyright = "Copyright (C) " + o.company;
    }
    if (missing(text_template)) {
        o.extraction_template =
            o.company.empty() ? default_template_without_company : default_template_with_company;
    }
}

program_version read_version_of_file(const std::string& path) {
    std::FILE* f = open_file(path, "rb");
    if (f == nullptr) return {};
    program_version out{};
    std::error_code ec;
    const std::uintmax_t file_size = fs::file_size(path_from_utf8(path), ec);
    std::vector<unsigned char> head(version_head_bytes);
    head.resize(std::fread(head.data(), 1, head.size(), f));
    try {
        const pe_headers headers = parse_pe_headers(head.data(), head.size(), file_size, "");
        resource_span span;
        if (!ec && find_resource_span(head.data(), head.size(), headers, span) &&
            span.size <= max_resource_section && seek_file(f, span.file_offset)) {
            std::vector<unsigned char> section(span.size);
            if (std::fread(section.data(), 1, section.size(), f) == section.size()) {
                out = read_program_version(section, span);
            }
        }
    } catch (const tool_error&) {
        // Not an image this reader can follow: no defaults from it.
    }
    std::fclose(f);
    return out;
}
