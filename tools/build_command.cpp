#include "tools/build_command.h"

#include "tools/packer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Launcher paths are built in 4,096-unit buffers: a longer template can
// never expand into one.
constexpr std::size_t max_template_units = 4095;

void emit_wide_string(std::ostringstream& out, const char* symbol, const std::u16string& text) {
    out << "\t.globl " << symbol << "\n\t.p2align 1\n" << symbol << ":\n";
    std::size_t i = 0;
    for (char16_t u : text) {
        out << (i % 12 == 0 ? "\t.short " : ",") << "0x" << std::hex << unsigned(u) << std::dec;
        if (++i % 12 == 0) out << "\n";
    }
    out << (i % 12 == 0 ? "\t.short " : ",") << "0\n";
}

std::string assembler_quoted(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        if (static_cast<unsigned char>(c) < 0x20)
            throw tool_error("unusable path " + in_quotes(path));
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A wide string literal for windres: quotes doubled, backslashes escaped,
// everything outside printable ASCII as a four-digit \x escape.
std::string rc_wide_string(const std::u16string& text) {
    std::string out = "L\"";
    char hex[8];
    for (char16_t u : text) {
        if (u == u'"') {
            out += "\"\"";
        } else if (u == u'\\') {
            out += "\\\\";
        } else if (u >= 0x20 && u < 0x7F) {
            out += static_cast<char>(u);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%04x", static_cast<unsigned>(u));
            out += hex;
        }
    }
    return out + "\"";
}

void check_icon_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[6] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    if (!in || header[0] != 0 || header[1] != 0 || header[2] != 1 || header[3] != 0 ||
        (header[4] == 0 && header[5] == 0)) {
        throw tool_error("--icon " + in_quotes(path) + " is not a Windows .ico file");
    }
}

// Runs a program and waits; throws when it cannot run or does not exit 0.
void run_program(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        throw tool_error("cannot run " + args[0] + ": " + std::strerror(rc) +
                         " (run ./fenwix test or scripts/setup.sh to install the toolchain)");
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw tool_error("lost track of " + args[0]);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw tool_error(args[0] + " failed while building the launcher");
    }
}

struct temp_folder {
    std::string path;
    temp_folder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fenwix-build.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw tool_error(std::string("cannot create a temporary folder: ") +
                             std::strerror(errno));
        }
        path = pattern;
    }
    ~temp_folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

}  // namespace

bool parse_version(const std::string& text, unsigned (&parts)[4]) {
    std::size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        const std::size_t start = pos;
        unsigned long value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 6) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
        }
        if (pos == start || value > 65535) return false;
        parts[i] = static_cast<unsigned>(value);
    }
    return pos == text.size();
}

void check_build_values(const build_options& options) {
    unsigned parts[4];
    if (!parse_version(options.version, parts)) {
        throw tool_error("--version " + in_quotes(options.version) +
                         " is not four numbers from 0 to 65535 joined by dots, like 1.26.0.0");
    }
    const std::u16string tmpl = utf8_to_utf16(options.extraction_template, "--template");
    if (tmpl.empty()) throw tool_error("--template is empty");
    if (tmpl.size() > max_template_units) {
        throw tool_error("--template is longer than " + std::to_string(max_template_units) +
                         " UTF-16 units");
    }
    if (utf8_to_utf16(options.product, "--product").empty()) throw tool_error("--product is empty");
    for (const std::string* s :
         {&options.extraction_template, &options.company, &options.product}) {
        utf8_to_utf16(*s, "a build value");
    }
}

std::string values_assembly(const build_options& options, const std::string& block_file) {
    std::ostringstream out;
    out << "# Generated by fenwix build: the launcher's build-time values.\n";
    out << "\t.section .rdata,\"dr\"\n";
    emit_wide_string(out, "fenwix_extraction_template",
                     utf8_to_utf16(options.extraction_template, "--template"));
    emit_wide_string(out, "fenwix_company_name", utf8_to_utf16(options.company, "--company"));
    emit_wide_string(out, "fenwix_product_name", utf8_to_utf16(options.product, "--product"));
    emit_wide_string(out, "fenwix_version", utf8_to_utf16(options.version, "--version"));
    out << "\t.globl fenwix_payload_block_length\n\t.p2align 3\nfenwix_payload_block_length:\n"
        << "\t.quad fenwix_payload_block_end - fenwix_payload_block\n";
    out << "\t.section .rdata$fenwix_payload,\"dr\"\n\t.globl fenwix_payload_block\n"
        << "\t.p2align 4\nfenwix_payload_block:\n"
        << "\t.incbin " << assembler_quoted(block_file) << "\n"
        << "fenwix_payload_block_end:\n";
    return out.str();
}

std::string resource_script(const build_options& options) {
    unsigned v[4] = {};
    parse_version(options.version, v);
    const std::u16string company = utf8_to_utf16(options.company, "--company");
    const std::u16string product = utf8_to_utf16(options.product, "--product");
    const std::u16string version = utf8_to_utf16(options.version, "--version");
    const std::u16string copyright = company.empty() ? u"" : u"Copyright (C) " + company;
    std::ostringstream out;
    out << "// Generated by fenwix build: the launcher's manifest, icon and version.\n"
        << "1 24 \"launcher.manifest\"\n"
        << "1 ICON \"icon.ico\"\n"
        << "1 VERSIONINFO\n"
        << "FILEVERSION " << v[0] << "," << v[1] << "," << v[2] << "," << v[3] << "\n"
        << "PRODUCTVERSION " << v[0] << "," << v[1] << "," << v[2] << "," << v[3] << "\n"
        << "FILEFLAGSMASK 0x3f\nFILEFLAGS 0x0\n"
        << "FILEOS 0x40004\n"  // VOS_NT_WINDOWS32
        << "FILETYPE 0x1\n"    // VFT_APP
        << "FILESUBTYPE 0x0\n"
        << "BEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"000004b0\"\n    BEGIN\n";
    const std::pair<const char*, std::u16string> fields[] = {
        {"CompanyName", company},     {"ProductName", product},
        {"FileDescription", product}, {"LegalCopyright", copyright},
        {"FileVersion", version},     {"ProductVersion", version},
        {"InternalName", product},    {"OriginalFilename", product + u".exe"},
    };
    for (const auto& [key, value] : fields) {
        out << "      VALUE \"" << key << "\", " << rc_wide_string(value) << "\n";
    }
    out << "    END\n  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n"
        << "    VALUE \"Translation\", 0x0000, 0x04b0\n  END\nEND\n";
    return out.str();
}

void run_build(const build_options& options, const std::string& kit_dir) {
    check_build_values(options);
    if (!fs::exists(fs::path(kit_dir) / "libfenwix_launcher.a")) {
        throw tool_error("the launcher's precompiled code is missing from " + in_quotes(kit_dir) +
                         " (run ./fenwix test or ./fenwix demo once to build it)");
    }
    temp_folder work;
    const std::string block_file = work.path + "/block.bin";
    if (!options.block_path.empty()) {
        std::error_code ec;
        if (!fs::is_regular_file(options.block_path, ec)) {
            throw tool_error("--block " + in_quotes(options.block_path) +
                             " is not a readable file");
        }
        // Linked, not copied: the assembler reads the block byte for byte.
        fs::create_symlink(fs::absolute(options.block_path), block_file, ec);
        if (ec) throw tool_error("cannot use --block " + in_quotes(options.block_path));
    } else {
        write_block(list_application_folder(options.app_dir, options.main_relpath), block_file,
                    options.level);
    }
    if (!options.icon_path.empty()) check_icon_file(options.icon_path);
    const fs::path icon =
        options.icon_path.empty() ? fs::path(kit_dir) / "fenwix.ico" : fs::path(options.icon_path);
    for (const auto& [from, name] :
         {std::pair{fs::path(kit_dir) / "launcher.manifest", "launcher.manifest"},
          std::pair{icon, "icon.ico"}}) {
        std::error_code ec;
        fs::create_symlink(fs::absolute(from), work.path + "/" + name, ec);
        if (ec) throw tool_error("cannot prepare the resources in " + in_quotes(work.path));
    }
    {
        std::ofstream out(work.path + "/resources.rc");
        out << resource_script(options);
        if (!out) throw tool_error("cannot write the resource script");
    }
    const char* windres_env = std::getenv("FENWIX_WIN64_WINDRES");
    const std::string windres =
        windres_env && *windres_env ? windres_env : "x86_64-w64-mingw32-windres";
    run_program({windres, "-O", "coff", "-I", work.path, "-i", work.path + "/resources.rc", "-o",
                 work.path + "/resources.o"});

    const std::string values_file = work.path + "/values.S";
    {
        std::ofstream out(values_file);
        out << values_assembly(options, block_file);
        if (!out) throw tool_error("cannot write " + in_quotes(values_file));
    }
    const char* cxx = std::getenv("FENWIX_WIN64_CXX");
    const std::string compiler = cxx && *cxx ? cxx : "x86_64-w64-mingw32-g++-posix";
    // The linker writes the file itself: give it a fresh temporary name beside
    // the output and rename that into place only after a clean link.
    std::string staged;
    close(create_temporary_beside(options.output, staged));
    try {
        run_program({compiler, "-static", "-municode", "-s", "-o", staged, values_file,
                     work.path + "/resources.o", "-L" + kit_dir, "-lfenwix_entry",
                     "-lfenwix_launcher", "-lzstd", "-lz", "-lshell32"});
        chmod(staged.c_str(), 0755);
        if (std::rename(staged.c_str(), options.output.c_str()) != 0) {
            throw tool_error("cannot write " + in_quotes(options.output) + ": " +
                             std::strerror(errno));
        }
    } catch (...) {
        std::remove(staged.c_str());
        throw;
    }
}
