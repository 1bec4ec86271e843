#include "tools/inspect/sbom.h"

#include "tools/host/host_platform.h"
#include "tools/host/sha256.h"
#include "tools/host/text.h"
#include "tools/image/version_reader.h"
#include "tools/inspect/launcher_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Bytes hashed at once.
constexpr std::size_t chunk_size = 1 << 16;
// 9999-12-31T23:59:59Z: the last time ISO 8601's four-digit years hold.
constexpr std::uint64_t last_timestamp = 253402300799ull;
constexpr char hex_digits[] = "0123456789abcdef";  // as UUIDs are written

// One packed file as the bill names it.
struct file_component {
    std::u16string name;  // as the launcher writes it below its folder
    std::uint64_t size = 0;
    std::string sha256;
    program_version version;  // all empty but for a program or library that has one
};

// A program or library, by its name, as Windows decides what to load.
bool is_program_name(const std::u16string& name) {
    if (name.size() < 4) return false;
    std::string ext;
    for (std::size_t i = name.size() - 4; i < name.size(); ++i) {
        const char16_t u = name[i];
        ext += static_cast<char>(u >= u'A' && u <= u'Z' ? u + 32 : (u < 0x80 ? u : u'?'));
    }
    return ext == ".exe" || ext == ".dll";
}

// The two ends of the pipe an entry's data pass through, closed on leaving.
struct pipe_ends {
    std::FILE* read = nullptr;
    std::FILE* write = nullptr;
    ~pipe_ends() {
        if (read != nullptr) std::fclose(read);
        if (write != nullptr) std::fclose(write);
    }
};

// One entry's data, hashed (and, for a program, its version resource kept)
// as they are decoded. The block stream hands entry data only to a file, so
// a thread decodes into a pipe while this one reads the other end: both
// cores work, and the entry is never on disk nor whole in memory.
file_component read_entry(block_stream& s, const block_entry& e, pipe_ends& pipe,
                          const std::string& launcher) {
    file_component c;
    c.name = e.name;
    c.size = e.size;
    sha256_state digest;
    sha256_start(digest);
    const bool program = is_program_name(e.name);
    version_stream version;
    version_stream_start(version, e.size);
    std::uint32_t computed = 0;
    std::exception_ptr failure;
    std::thread decoder([&] {
        try {
            computed = s.copy_entry_data(e, pipe.write, "a pipe");
            if (std::fflush(pipe.write) != 0) {
                throw tool_error(std::string("cannot write a pipe: ") + std::strerror(errno));
            }
        } catch (...) {
            failure = std::current_exception();
            // The reader then sees the end of the pipe instead of waiting.
            std::fclose(pipe.write);
            pipe.write = nullptr;
        }
    });
    std::vector<unsigned char> buffer(chunk_size);
    std::uint64_t left = e.size;
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(left < chunk_size ? left : chunk_size);
        // Nothing read: the decoder failed and closed its end (a read of a
        // pipe fails in no other way).
        const std::size_t n = std::fread(buffer.data(), 1, want, pipe.read);
        if (n == 0) break;
        sha256_feed(digest, buffer.data(), n);
        if (program) version_stream_feed(version, buffer.data(), n);
        left -= n;
    }
    decoder.join();
    if (failure) std::rethrow_exception(failure);
    if (left > 0) throw tool_error("cannot read a pipe");
    if (computed != e.checksum) {
        throw tool_error(in_quotes(launcher) + ": " + mismatch_text(e, computed));
    }
    c.sha256 = sha256_hex(sha256_finish(digest));
    if (program) c.version = version_stream_finish(version);
    return c;
}

sha256_digest launcher_digest(const launcher_file& f) {
    sha256_state digest;
    sha256_start(digest);
    std::vector<unsigned char> buffer(chunk_size);
    for (std::uint64_t offset = 0; offset < f.size;) {
        const std::size_t n =
            static_cast<std::size_t>(f.size - offset < chunk_size ? f.size - offset : chunk_size);
        read_at(f, offset, buffer.data(), n);
        sha256_feed(digest, buffer.data(), n);
        offset += n;
    }
    return sha256_finish(digest);
}

// A UUID in the name-based form (version 5 and the RFC 4122 variant, the
// form CycloneDX's schema takes) from the first 16 bytes of a digest: the
// same launcher always gets the same serial number.
std::string uuid_from_digest(sha256_digest d) {
    d[6] = static_cast<unsigned char>((d[6] & 0x0F) | 0x50);
    d[8] = static_cast<unsigned char>((d[8] & 0x3F) | 0x80);
    std::string out = "urn:uuid:";
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += hex_digits[d[i] >> 4];
        out += hex_digits[d[i] & 15];
    }
    return out;
}

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// A JSON document written as it is made, two blanks a level, keys in the
// order given, so the same contents always give the same bytes.
using fields = std::vector<std::pair<std::string, std::string>>;  // key, JSON value

std::string indent(int depth) { return std::string(2 * static_cast<std::size_t>(depth), ' '); }

std::string object_json(const fields& members, int depth) {
    std::string out = "{\n";
    for (std::size_t i = 0; i < members.size(); ++i) {
        out += indent(depth + 1) + "\"" + members[i].first + "\": " + members[i].second +
               (i + 1 < members.size() ? ",\n" : "\n");
    }
    return out + indent(depth) + "}";
}

std::string array_json(const std::vector<std::string>& items, int depth) {
    if (items.empty()) return "[]";
    std::string out = "[\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += indent(depth + 1) + items[i] + (i + 1 < items.size() ? ",\n" : "\n");
    }
    return out + indent(depth) + "]";
}

std::string property_json(const std::string& name, const std::u16string& value, int depth) {
    return object_json({{"name", json_string(u16(name))}, {"value", json_string(value)}}, depth);
}

std::string sha256_json(const std::string& hex, int depth) {
    return array_json(
        {object_json({{"alg", "\"SHA-256\""}, {"content", "\"" + hex + "\""}}, depth + 1)}, depth);
}

// A component at `depth` (an item of the components array sits one deeper
// than the array).
std::string file_json(const file_component& c, std::size_t number, int depth) {
    const program_version& v = c.version;
    fields members = {{"type", "\"file\""}, {"bom-ref", "\"file-" + std::to_string(number) + "\""}};
    if (!v.company_name.empty()) {
        members.push_back(
            {"supplier", object_json({{"name", json_string(v.company_name)}}, depth + 1)});
    }
    members.push_back({"name", json_string(c.name)});
    const std::u16string& version = v.product_version.empty() ? v.file_version : v.product_version;
    if (!version.empty()) members.push_back({"version", json_string(version)});
    if (!v.file_description.empty()) {
        members.push_back({"description", json_string(v.file_description)});
    }
    members.push_back({"hashes", sha256_json(c.sha256, depth + 1)});
    if (!v.legal_copyright.empty()) {
        members.push_back({"copyright", json_string(v.legal_copyright)});
    }
    std::vector<std::string> properties = {
        property_json("fenwix:size", u16(std::to_string(c.size)), depth + 2)};
    if (!v.product_name.empty()) {
        properties.push_back(property_json("fenwix:product-name", v.product_name, depth + 2));
    }
    members.push_back({"properties", array_json(properties, depth + 1)});
    return object_json(members, depth);
}

std::string launcher_json(const launcher_file& f, const std::string& digest, int depth) {
    fields members = {{"type", "\"application\""}, {"bom-ref", "\"launcher\""}};
    const std::u16string& company = f.texts[values_section::text_company];
    if (!company.empty()) {
        members.push_back({"supplier", object_json({{"name", json_string(company)}}, depth + 1)});
    }
    members.push_back({"name", json_string(f.texts[values_section::text_product])});
    members.push_back({"version", json_string(f.texts[values_section::text_version])});
    members.push_back({"hashes", sha256_json(digest, depth + 1)});
    const std::u16string file_name =
        utf8_to_utf16(path_to_utf8(path_from_utf8(f.path).filename()), "the launcher's name");
    members.push_back(
        {"properties",
         array_json(
             {property_json("fenwix:file-name", file_name, depth + 2),
              property_json("fenwix:size", u16(std::to_string(f.size)), depth + 2),
              property_json("fenwix:template", f.texts[values_section::text_template], depth + 2)},
             depth + 1)});
    return object_json(members, depth);
}

void write_document(const std::string& document, const sbom_request& request) {
    if (request.output.empty()) {
        if (std::fputs(document.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
            throw tool_error(std::string("cannot write the standard output: ") +
                             std::strerror(errno));
        }
        return;
    }
    write_file_atomically(request.output, [&](std::FILE* out) {
        if (std::fwrite(document.data(), 1, document.size(), out) != document.size()) {
            throw tool_error("cannot write " + in_quotes(request.output) + ": " +
                             std::strerror(errno));
        }
    });
}

}  // namespace

std::string utc_timestamp(const std::string& epoch_seconds) {
    std::uint64_t seconds = 0;
    for (const char c : epoch_seconds) {
        if (c < '0' || c > '9' || seconds > last_timestamp)
            seconds = last_timestamp + 1;
        else
            seconds = seconds * 10 + static_cast<unsigned>(c - '0');
    }
    if (epoch_seconds.empty() || seconds > last_timestamp) {
        throw tool_error("SOURCE_DATE_EPOCH must be a whole number of seconds since 1970 (up to " +
                         std::to_string(last_timestamp) + "), not " + in_quotes(epoch_seconds));
    }
    // The proleptic Gregorian calendar's date of a day count, in eras of
    // 400 years, which all have 146,097 days.
    const std::uint64_t days = seconds / 86400, of_day = seconds % 86400;
    const std::uint64_t z = days + 719468, era = z / 146097, day_of_era = z % 146097;
    const std::uint64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::uint64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::uint64_t shifted_month = (5 * day_of_year + 2) / 153;  // from March
    const std::uint64_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const std::uint64_t month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const std::uint64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    char text[72];  // room for any unsigned values; a date gives 20 characters
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", static_cast<unsigned>(year),
                  static_cast<unsigned>(month), static_cast<unsigned>(day),
                  static_cast<unsigned>(of_day / 3600), static_cast<unsigned>(of_day / 60 % 60),
                  static_cast<unsigned>(of_day % 60));
    return text;
}

std::string json_string(const std::u16string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        const bool high = u >= 0xD800 && u <= 0xDBFF, low = u >= 0xDC00 && u <= 0xDFFF;
        const bool pair =
            high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if (u == u'"' || u == u'\\') {
            out += '\\';
            out += static_cast<char>(u);
        } else if (u < 0x20 || ((high || low) && !pair)) {
            char escaped[7];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(u));
            out += escaped;
        } else {
            out += utf16_to_utf8(text.substr(i, pair ? 2 : 1));
            if (pair) ++i;
        }
    }
    return out + "\"";
}

void run_sbom(const sbom_request& request) {
    // Judged first: a bad variable costs no reading.
    const bool timed = request.source_date_epoch != nullptr && request.source_date_epoch[0] != '\0';
    const std::string timestamp = timed ? utc_timestamp(request.source_date_epoch) : std::string();
    std::error_code ec;
    if (!request.output.empty() &&
        fs::equivalent(path_from_utf8(request.output), path_from_utf8(request.launcher), ec)) {
        throw tool_error(in_quotes(request.output) + " is the launcher itself; name another file");
    }
    launcher_file f = open_launcher(request.launcher);
    const sha256_digest digest = launcher_digest(f);
    std::vector<file_component> files;
    {
        pipe_ends pipe;
        if (!open_pipe(pipe.read, pipe.write)) {
            throw tool_error(std::string("cannot open a pipe: ") + std::strerror(errno));
        }
        block_stream s = open_block_stream(f);
        block_entry e;
        while (s.next_entry(e)) {
            const char* problem = entry_names::describe(e.problem);
            if (problem[0] != '\0') {
                throw tool_error(in_quotes(request.launcher) + ": " + entry_label(e) + ": " +
                                 problem);
            }
            files.push_back(read_entry(s, e, pipe, request.launcher));
        }
        s.expect_end();
    }
    std::vector<std::string> components;
    for (std::size_t i = 0; i < files.size(); ++i) {
        components.push_back(file_json(files[i], i + 1, 2));
    }
    fields metadata;
    if (timed) metadata.push_back({"timestamp", "\"" + timestamp + "\""});
    const std::string tool = object_json({{"type", "\"application\""},
                                          {"name", "\"fenwix\""},
                                          {"version", json_string(u16(request.tool_version))}},
                                         4);
    metadata.push_back({"tools", object_json({{"components", array_json({tool}, 3)}}, 2)});
    metadata.push_back({"component", launcher_json(f, sha256_hex(digest), 2)});
    const std::string document =
        object_json({{"bomFormat", "\"CycloneDX\""},
                     {"specVersion", "\"1.5\""},
                     {"serialNumber", "\"" + uuid_from_digest(digest) + "\""},
                     {"version", "1"},
                     {"metadata", object_json(metadata, 1)},
                     {"components", array_json(components, 1)}},
                    0) +
        "\n";
    write_document(document, request);
}
