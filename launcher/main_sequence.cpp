#include "launcher/main_sequence.h"

#include "launcher/child.h"
#include "launcher/base/environment.h"
#include "launcher/base/errors.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/launch_line.h"
#include "launcher/base/trace.h"
#include "launcher/base/path_forms.h"
#include "launcher/platform/console.h"
#include "launcher/platform/processes.h"
#include "launcher/template.h"
#include "launcher/windowed.h"
#include "launcher/unpack/checksum.h"
#include "launcher/unpack/confine.h"
#include "launcher/unpack/folder_lock.h"
#include "launcher/unpack/frame_unpack.h"
#include "launcher/unpack/known_folders.h"
#include "launcher/unpack/write_entry.h"
#include "format/block.h"
#include "launcher/unpack/index_check.h"
#include "launcher/unpack/index_entries.h"
#include "launcher/unpack/quick_check.h"
#include "launcher/unpack/reader.h"
#include "launcher/unpack/versions.h"
#include "format/template_grammar.h"
#include "launcher/base/build_values.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// Process-wide state of the run; every buffer lives until exit.
wchar_t target_folder[path_capacity];        // the expanded extraction template, made full
wchar_t target_for_files[path_capacity];     // the same in the extended form, for file calls
entry_header entry;                          // the entry being unpacked
wchar_t current_file_path[path_capacity];    // target folder + '\' + entry name
wchar_t child_program_path[path_capacity];   // current file path of the first entry
wchar_t launcher_folder[own_path_capacity];  // own path cut at its last backslash
std::size_t quick_trusted = 0;               // files the quick check vouched for
index_entries index;                         // the index, read once for both checks
wchar_t home_for_files[path_capacity];       // {HOME} in the extended form
wchar_t home[path_capacity];                 // {HOME} as expanded
wchar_t first_program_path[path_capacity];   // the program, when every file is right
wchar_t full_target[path_capacity];          // the target folder as Windows makes it full

void publish_parent_id() {
    wchar_t id[process_id_text_capacity];
    own_process_id_text(id);
    set_environment_variable(env_names::parent, id);
}

void build_current_file_path() {
    wide_copy_or_abort(current_file_path, path_capacity, target_for_files);
    wide_append_or_abort(current_file_path, path_capacity, L"\\");
    wide_append_or_abort(current_file_path, path_capacity, entry.name);
}

// The program is started by the ordinary form of its path.
void set_child_program_path(const wchar_t* path) {
    if (!to_ordinary_form(path, child_program_path, path_capacity)) abnormal_end();
}

// The target folder as Windows would normalise it, and its extended form:
// every file call then takes paths of any length, whatever the machine's
// policy on long paths.
void settle_target_folder(const wchar_t* extraction_template) {
    const DWORD n = GetFullPathNameW(target_folder, path_capacity, full_target, nullptr);
    if (n == 0 || n >= path_capacity) fail_template_expansion(extraction_template);
    wide_copy_or_abort(target_folder, path_capacity, full_target);
    if (!to_extended_form(target_folder, target_for_files, path_capacity)) abnormal_end();
}

// Why a file must be written, for the trace: it is not there, has another
// size, or (same size) another checksum.
const wchar_t* why_written(const wchar_t* path, std::uint64_t size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return L"missing";
    const std::uint64_t on_disk =
        (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return on_disk == size ? L"other checksum" : L"other size";
}

// Once every file is right: what the folder keeps of this start (the quick
// check's record, the version's marker), written under the lock, then the lock
// goes.
void finish_folder(bool quick) {
    index_check_close();
    if (quick) quick_check_record();
    if (kept_versions() > 0) mark_version_folder(target_for_files);
    unlock_target_folder();
}

// A block cut into frames, with the index that lays them out: the files
// not right are known before anything is decoded, and only the frames that
// hold them are.
void unpack_by_frames(const unsigned char* block, std::uint64_t length, bool fresh) {
    unsigned char* to_write = static_cast<unsigned char*>(calloc(index.count, 1));
    if (to_write == nullptr) fail_alloc();
    const std::size_t folder_units = wcslen(target_for_files);
    std::size_t written = 0;
    std::uint64_t written_bytes = 0;
    for (std::size_t e = 0; e < index.count; ++e) {
        const payload_index::entry& it = index.entries[e];
        if (!index_entry_path(target_for_files, folder_units, it, current_file_path)) {
            abnormal_end();  // as for any path past the launcher's limit
        }
        if (e == 0) set_child_program_path(current_file_path);
        const wchar_t* name = current_file_path + folder_units + 1;
        if (!fresh && index_check_entry_right(e, name, it.size, it.checksum, current_file_path)) {
            continue;
        }
        if (tracing()) trace(L"writing %ls (%ls)", name, why_written(current_file_path, it.size));
        to_write[e] = 1;
        ++written;
        written_bytes += it.size;
    }
    if (written > 0) unpack_frames({&index, block, length, target_for_files, to_write});
    free(to_write);
    trace(L"%Iu files: %Iu right, %Iu written; wrote %I64u bytes", index.count,
          index.count - written, written, written_bytes);
}

void unpack_payload() {
    const build_values& values = launcher_build_values();
    const unsigned char* block = values.payload_block;
    const std::uint64_t length = values.payload_block_length;
    if (length < payload_format::magic_size ||
        memcmp(block, payload_format::magic, payload_format::magic_size) != 0) {
        fail_header();
    }
    // A page of the block or its index that cannot be read (a launcher on a
    // share or a stick that went away) is a block that cannot be decoded.
    const unsigned char* guarded_end = block + length;
    const unsigned char* guarded_begin = block;
    if (values.index != nullptr) {
        if (values.index < guarded_begin) guarded_begin = values.index;
        if (values.index + values.index_length > guarded_end) {
            guarded_end = values.index + values.index_length;
        }
    }
    guard_block_reads(guarded_begin, guarded_end);
    // Other starts wait for the lock: a dialog that waits for the user
    // must not hold it.
    release_before_dialog(unlock_target_folder);
    trace(L"taking the folder's lock");
    // A first start into a new folder has nothing to check: each check would
    // be one more request to the system for every file, for nothing.
    const bool fresh = lock_target_folder(target_for_files, kept_versions() > 0);
    trace(fresh ? L"lock taken; the folder is new" : L"lock taken");
    // The common start: every file is already right, and nothing is decoded.
    // A new folder gets its record too, once every file is written.
    const bool quick = values.index != nullptr && uses_quick_check();
    read_index_entries(values.index, values.index_length, index);
    const bool indexed = !fresh && index_check_open(index, target_for_files);
    if (quick) quick_trusted = quick_check_trust(index, target_for_files);
    if (indexed && index_check_all_right(first_program_path)) {
        trace(L"index: every file is right, nothing to decode");
        set_child_program_path(first_program_path);
        finish_folder(quick);
        return;
    }
    trace(fresh     ? L"new folder, decoding"
          : indexed ? L"index: a file is not right, decoding"
                    : L"no index, decoding");
    // Folders are made below the profile folder, which always exists; known
    // in the extended form every folder call uses.
    if (!expand_template(home, L"{HOME}", path_capacity)) fail_template_expansion(L"{HOME}");
    if (!to_extended_form(home, home_for_files, path_capacity)) {
        wide_copy_or_abort(home_for_files, path_capacity, home);
    }
    remember_folder(home_for_files);
    if (frames_usable(index, length)) {
        unpack_by_frames(block, length, fresh);
        finish_folder(quick);
        return;
    }
    progress_window_start(payload_reader_consumed, length - payload_format::magic_size);
    payload_reader_open(block + payload_format::magic_size, length - payload_format::magic_size);
    std::size_t number = 0, written = 0;
    std::uint64_t decoded_bytes = 0, written_bytes = 0;
    for (; read_entry_header(entry); ++number) {
        build_current_file_path();
        note_file_in_hand(current_file_path);
        if (child_program_path[0] == L'\0') set_child_program_path(current_file_path);
        const bool up_to_date =
            !fresh && index_check_entry_right(number, entry.name, entry.stored_size,
                                              entry.stored_checksum, current_file_path);
        if (!up_to_date) {
            progress_window_note_write();
            if (tracing()) {
                trace(L"writing %ls (%ls)", entry.name,
                      why_written(current_file_path, entry.stored_size));
            }
            ++written;
            written_bytes += entry.stored_size;
        }
        decoded_bytes += entry.stored_size;
        unpack_checked_entry(current_file_path, entry.stored_size, entry.stored_checksum,
                             up_to_date);
    }
    note_file_in_hand(nullptr);
    payload_reader_finish();
    finish_folder(quick);
    trace(
        L"%Iu files: %Iu right, %Iu written; decoded %I64u bytes of files from %I64u, wrote %I64u",
        number, number - written, written, decoded_bytes, payload_reader_consumed(), written_bytes);
    payload_reader_close();
}

// What runs beside the program, once it has started.
void after_program_start() {
    if (quick_trusted > 0) quick_check_in_background();
    if (kept_versions() > 0) remove_old_versions_in_background(target_for_files, kept_versions());
}

void publish_launcher_location(int argc, wchar_t** argv) {
    wide_copy_or_abort(launcher_folder, own_path_capacity, get_own_path());
    wchar_t* split = find_last_backslash(launcher_folder, false);
    if (split != nullptr) *split = L'\0';
    set_environment_variable(env_names::directory, launcher_folder);
    if (argc > 0 && argv[0] != nullptr) {
        set_environment_variable(env_names::original_argv0, argv[0]);
    } else {
        clear_environment_variable(env_names::original_argv0);
    }
}

}  // namespace

int run_launcher(int argc, wchar_t** argv) {
    show_failures_with(show_failure_dialog);
    // Libraries only from System32: a launcher downloaded into a folder of
    // other downloads must not load a DLL someone planted beside it, nor one
    // from the current folder.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");
    checksum_choose_implementation();
    trace_start();
    // Values inherited from a parent launcher must not leak into this run.
    clear_environment_variable(env_names::start);
    clear_environment_variable(env_names::time_us);
    clear_environment_variable(env_names::random);
    publish_parent_id();

    // A launcher without its values (the bare stub) has no block, and no
    // template that could give a folder.
    if (launcher_build_values().payload_block == nullptr) fail_header();
    const wchar_t* extraction_template = launcher_build_values().extraction_template;
    // A template that gives anything but a full folder (a relative path, a
    // drive's root, a level that climbs) would unpack where nobody meant it
    // to: the root of the current drive, say.
    if (!expand_template(target_folder, extraction_template, path_capacity) ||
        !template_grammar::is_full_folder_path(target_folder)) {
        fail_template_expansion(extraction_template);
    }
    settle_target_folder(extraction_template);
    trace(L"target folder %ls", target_folder);
    confine_writes_to(target_for_files);
    know_app_folder(target_folder);

    if (!listen_for_console_events(console_control_handler)) {
        report_failure("Error, failed to register signal handler.");
    }
    // On logoff or shutdown the program goes first, and the launcher ends
    // after it with its exit code.
    set_shutdown_level(shutdown_level_after_programs);

    unpack_payload();
    end_block_read_guard();
    progress_window_close();
    publish_launcher_location(argc, argv);
    set_launch_variables();
    const std::uint32_t code = run_child(
        child_program_path, starts_in_app_folder() ? target_folder : nullptr, after_program_start);
    stop_removing_versions();
    return static_cast<int>(code);
}
