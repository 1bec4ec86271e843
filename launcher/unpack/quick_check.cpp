#include "launcher/unpack/quick_check.h"

#include "launcher/base/busy_retry.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/base/trace.h"
#include "launcher/unpack/checksum.h"
#include "launcher/unpack/write_entry.h"
#include "launcher/unpack/index_check.h"
#include "launcher/unpack/remove_by_handle.h"
#include "format/block.h"
#include "format/index.h"
#include "format/upper_case.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

namespace {

constexpr char record_magic[8] = {'F', 'W', 'X', 'R', 'E', 'C', '0', '1'};
constexpr wchar_t record_name[] = L"\\.fenwix-record";
constexpr wchar_t record_new_name[] = L"\\.fenwix-record.new";
constexpr wchar_t sweep_name[] = L"\\.fenwix-record-sweep";
constexpr std::size_t listing_buffer_size = 64 * 1024;

// One file as a listing shows it.
struct listed_file {
    std::uint64_t size;
    std::uint64_t write_time;  // FILETIME units
    std::uint64_t id;
};

// The check of the process, from quick_check_trust until exit (the
// background check reads it while the program runs).
struct quick_state {
    const wchar_t* folder;  // extended form, no trailing backslash
    std::size_t folder_units;
    std::uint32_t index_checksum;
    const payload_index::entry* entries;  // the main sequence's, in index order
    std::size_t count;
    std::size_t* name_start;  // heap: each name's units before its last level
    std::size_t* order;       // heap: entry numbers by folder, then by name
    listed_file* listed;      // heap: what the last listing showed
    bool* seen;               // heap: whether the last listing showed it
    bool* trusted;            // heap: vouched for by the record
    std::size_t trusted_count;
    std::uint32_t record_checksum;  // the record's own: ties the sweep to it
    std::size_t sweep_next;         // the entry number the content sweep goes on from
};

quick_state quick;
alignas(8) unsigned char listing_buffer[listing_buffer_size];
unsigned char background_buffer[checksum_buffer_size];

std::uint32_t crc_of(const unsigned char* data, std::size_t size) {
    return static_cast<std::uint32_t>(checksum_update(0, data, size));
}

// The record's bytes for `count` files, tied to one build's index by
// index_checksum: "FWXREC01", u32 count, u32 index_checksum, count times
// (u64 size, u64 time, u64 id), then the CRC-32 of all that.
constexpr std::size_t record_size(std::size_t count) { return 16 + 24 * count + 4; }

void encode_record(unsigned char* out, std::uint32_t index_checksum, const listed_file* files,
                   std::size_t count) {
    for (std::size_t i = 0; i < sizeof record_magic; ++i) {
        out[i] = static_cast<unsigned char>(record_magic[i]);
    }
    payload_format::write_le(out + 8, count, 4);
    payload_format::write_le(out + 12, index_checksum, 4);
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char* at = out + 16 + 24 * i;
        payload_format::write_le(at, files[i].size, 8);
        payload_format::write_le(at + 8, files[i].write_time, 8);
        payload_format::write_le(at + 16, files[i].id, 8);
    }
    const std::size_t body = record_size(count) - 4;
    payload_format::write_le(out + body, crc_of(out, body), 4);
}

// Whether `size` bytes are a whole, undamaged record for this index and count.
bool record_is_usable(const unsigned char* data, std::size_t size, std::uint32_t index_checksum,
                      std::size_t count) {
    if (size != record_size(count)) return false;
    for (std::size_t i = 0; i < sizeof record_magic; ++i) {
        if (data[i] != static_cast<unsigned char>(record_magic[i])) return false;
    }
    return payload_format::read_le(data + 8, 4) == count &&
           payload_format::read_le(data + 12, 4) == index_checksum &&
           payload_format::read_le(data + size - 4, 4) == crc_of(data, size - 4);
}

listed_file recorded_file(const unsigned char* record, std::size_t number) {
    const unsigned char* at = record + 16 + 24 * number;
    return {payload_format::read_le(at, 8), payload_format::read_le(at + 8, 8),
            payload_format::read_le(at + 16, 8)};
}

// A name's unit as names are compared: in upper case, as Windows folds
// names, so a file renamed in case only is still found.
unsigned folded(unsigned unit) { return upper_case_unit(static_cast<char16_t>(unit)); }

// Compares units [from, to) of two entries' names, folded.
int compare_units(const payload_index::entry& a, std::size_t a_from, std::size_t a_to,
                  const payload_index::entry& b, std::size_t b_from, std::size_t b_to) {
    for (; a_from < a_to && b_from < b_to; ++a_from, ++b_from) {
        const unsigned ua = folded(payload_index::name_unit(a, a_from));
        const unsigned ub = folded(payload_index::name_unit(b, b_from));
        if (ua != ub) return ua < ub ? -1 : 1;
    }
    return a_from < a_to ? 1 : b_from < b_to ? -1 : 0;
}

// Folders first (their length, then their units), so each folder's files
// lie together; then names.
int by_folder_then_name(const void* left, const void* right) {
    const std::size_t a = *static_cast<const std::size_t*>(left);
    const std::size_t b = *static_cast<const std::size_t*>(right);
    const std::size_t fa = quick.name_start[a], fb = quick.name_start[b];
    if (fa != fb) return fa < fb ? -1 : 1;
    const int folder = compare_units(quick.entries[a], 0, fa, quick.entries[b], 0, fb);
    if (folder != 0) return folder;
    return compare_units(quick.entries[a], fa, quick.entries[a].units, quick.entries[b], fb,
                         quick.entries[b].units);
}

bool same_folder(std::size_t a, std::size_t b) {
    const std::size_t f = quick.name_start[a];
    return f == quick.name_start[b] &&
           compare_units(quick.entries[a], 0, f, quick.entries[b], 0, f) == 0;
}

// The entry among order[first, last) (one folder, sorted by name) whose last
// level is `name` (`units` long), or -1.
long long find_in_folder(std::size_t first, std::size_t last, const wchar_t* name,
                         std::size_t units) {
    while (first < last) {
        const std::size_t middle = first + (last - first) / 2;
        const payload_index::entry& e = quick.entries[quick.order[middle]];
        const std::size_t start = quick.name_start[quick.order[middle]];
        int c = 0;
        std::size_t i = 0;
        for (; c == 0 && i < units && start + i < e.units; ++i) {
            const unsigned a = folded(payload_index::name_unit(e, start + i));
            const unsigned b = folded(static_cast<unsigned>(name[i]));
            c = a < b ? -1 : a > b ? 1 : 0;
        }
        if (c == 0) c = start + i < e.units ? 1 : i < units ? -1 : 0;
        if (c == 0) return static_cast<long long>(quick.order[middle]);
        if (c < 0) {
            first = middle + 1;
        } else {
            last = middle;
        }
    }
    return -1;
}

// The folder of order[first]'s entry, in extended form.
bool folder_path(std::size_t number, wchar_t* out) {
    const payload_index::entry& e = quick.entries[number];
    const std::size_t level = quick.name_start[number];
    if (quick.folder_units + 1 + level + 1 > path_capacity) return false;
    wmemcpy(out, quick.folder, quick.folder_units);
    std::size_t at = quick.folder_units;
    if (level > 0) {
        out[at++] = L'\\';
        // The units before the last level, without the backslash that ends them.
        for (std::size_t u = 0; u + 1 < level; ++u) {
            out[at++] = static_cast<wchar_t>(payload_index::name_unit(e, u));
        }
    }
    out[at] = L'\0';
    return true;
}

// One listing of the folder that holds order[first, last): what it shows of
// each of those files goes to `listed` and `seen`.
void list_folder(std::size_t first, std::size_t last) {
    wchar_t path[path_capacity];
    if (!folder_path(quick.order[first], path)) return;
    const HANDLE folder = CreateFileW(path, FILE_LIST_DIRECTORY,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return;
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, kind, listing_buffer, sizeof listing_buffer)) {
        kind = FileIdBothDirectoryInfo;
        for (std::size_t at = 0;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listing_buffer + at);
            // A folder or a link where a file goes is never vouched for.
            if ((info->FileAttributes &
                 (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
                const long long number =
                    find_in_folder(first, last, info->FileName, info->FileNameLength / 2);
                if (number >= 0) {
                    quick.listed[number] = {
                        static_cast<std::uint64_t>(info->EndOfFile.QuadPart),
                        static_cast<std::uint64_t>(info->LastWriteTime.QuadPart),
                        static_cast<std::uint64_t>(info->FileId.QuadPart)};
                    quick.seen[number] = true;
                }
            }
            if (info->NextEntryOffset == 0) break;
            at += info->NextEntryOffset;
        }
    }
    CloseHandle(folder);
}

void list_every_folder() {
    for (std::size_t i = 0; i < quick.count; ++i) quick.seen[i] = false;
    for (std::size_t first = 0; first < quick.count;) {
        std::size_t last = first + 1;
        while (last < quick.count && same_folder(quick.order[first], quick.order[last])) ++last;
        list_folder(first, last);
        first = last;
    }
}

bool record_path(const wchar_t* name, wchar_t* out) {
    return wide_copy(out, path_capacity, quick.folder) && wide_append(out, path_capacity, name);
}

// The record's bytes on the heap when it is usable, else nullptr.
unsigned char* read_record() {
    wchar_t path[path_capacity];
    if (!record_path(record_name, path)) return nullptr;
    const HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    const std::size_t size = record_size(quick.count);
    LARGE_INTEGER on_disk;
    unsigned char* data = nullptr;
    DWORD got = 0;
    if (GetFileSizeEx(file, &on_disk) && static_cast<std::uint64_t>(on_disk.QuadPart) == size &&
        size <= MAXDWORD && (data = static_cast<unsigned char*>(malloc(size))) != nullptr &&
        (!ReadFile(file, data, static_cast<DWORD>(size), &got, nullptr) || got != size ||
         !record_is_usable(data, size, quick.index_checksum, quick.count))) {
        free(data);
        data = nullptr;
    }
    CloseHandle(file);
    return data;
}

// The sweep's file, opened without following a link and only when it is
// the launcher's own (one name, no link, no folder); INVALID_HANDLE_VALUE
// otherwise, and then the sweep starts again from the first file.
HANDLE open_sweep_file(DWORD disposition) {
    wchar_t path[path_capacity];
    if (!record_path(sweep_name, path)) return INVALID_HANDLE_VALUE;
    const HANDLE file = CreateFileW(
        path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

std::size_t read_sweep_next() {
    const HANDLE file = open_sweep_file(OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return 0;
    unsigned char data[sweep_size];
    DWORD got = 0;
    const bool read = ReadFile(file, data, sizeof data, &got, nullptr) && got == sizeof data;
    CloseHandle(file);
    std::size_t next = 0;
    return read && decode_sweep(data, quick.record_checksum, quick.count, next) ? next : 0;
}

void save_sweep_next(std::size_t next) {
    const HANDLE file = open_sweep_file(OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return;
    unsigned char data[sweep_size];
    encode_sweep(data, quick.record_checksum, next);
    DWORD written = 0;
    WriteFile(file, data, sizeof data, &written, nullptr);
    SetEndOfFile(file);
    CloseHandle(file);
}

bool allocate(std::size_t count) {
    quick.name_start = static_cast<std::size_t*>(calloc(count, sizeof(std::size_t)));
    quick.order = static_cast<std::size_t*>(calloc(count, sizeof(std::size_t)));
    quick.listed = static_cast<listed_file*>(calloc(count, sizeof(listed_file)));
    quick.seen = static_cast<bool*>(calloc(count, sizeof(bool)));
    quick.trusted = static_cast<bool*>(calloc(count, sizeof(bool)));
    return quick.name_start != nullptr && quick.order != nullptr && quick.listed != nullptr &&
           quick.seen != nullptr && quick.trusted != nullptr;
}

DWORD WINAPI check_in_background(void*) {
    // Below the program in processor and disk time.
    SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    wchar_t path[path_capacity];
    ULONGLONG saved_at = GetTickCount64();
    // Once round from where this start's slice ended; how far it got is kept
    // every quarter second, so a short program's next start goes on from there.
    for (std::size_t k = 0; k < quick.count; ++k) {
        const std::size_t i = (quick.sweep_next + k) % quick.count;
        const payload_index::entry& e = quick.entries[i];
        if (quick.trusted[i] && index_entry_path(quick.folder, quick.folder_units, e, path) &&
            file_checksum_with(path, background_buffer) != e.checksum) {
            // The next start checks and repairs by content.
            if (record_path(record_name, path)) delete_file_at(path);
            trace(L"quick check: a file differs behind its record; record dropped");
            return 0;
        }
        if (GetTickCount64() - saved_at >= 250 || k + 1 == quick.count) {
            save_sweep_next((i + 1) % quick.count);
            saved_at = GetTickCount64();
        }
    }
    return 0;
}

}  // namespace

std::size_t sweep_slice(std::size_t count) { return (count + sweep_starts - 1) / sweep_starts; }

void encode_sweep(unsigned char* out, std::uint32_t record_checksum, std::size_t next) {
    payload_format::write_le(out, record_checksum, 4);
    payload_format::write_le(out + 4, next, 4);
    payload_format::write_le(out + 8, crc_of(out, 8), 4);
}

bool decode_sweep(const unsigned char* data, std::uint32_t record_checksum, std::size_t count,
                  std::size_t& next) {
    if (payload_format::read_le(data + 8, 4) != crc_of(data, 8) ||
        payload_format::read_le(data, 4) != record_checksum) {
        return false;
    }
    next = static_cast<std::size_t>(payload_format::read_le(data + 4, 4));
    return next < count;
}

std::size_t quick_check_trust(const index_entries& index, const wchar_t* folder) {
    if (index.count == 0 || !allocate(index.count)) {
        quick.count = 0;
        return 0;
    }
    quick.entries = index.entries;
    quick.count = index.count;
    quick.folder = folder;
    quick.folder_units = wcslen(folder);
    quick.index_checksum = crc_of(index.bytes, index.length);
    for (std::size_t i = 0; i < quick.count; ++i) {
        std::size_t start = quick.entries[i].units;
        while (start > 0 && payload_index::name_unit(quick.entries[i], start - 1) != L'\\') --start;
        quick.name_start[i] = start;
        quick.order[i] = i;
    }
    qsort(quick.order, quick.count, sizeof(std::size_t), by_folder_then_name);

    unsigned char* record = read_record();
    if (record == nullptr) {
        trace(L"quick check: no usable record, checking by content");
        return 0;
    }
    list_every_folder();
    for (std::size_t i = 0; i < quick.count; ++i) {
        const listed_file was = recorded_file(record, i);
        const listed_file& is = quick.listed[i];
        quick.trusted[i] = quick.seen[i] && is.size == quick.entries[i].size &&
                           is.size == was.size && is.write_time == was.write_time &&
                           is.id == was.id;
    }
    quick.record_checksum = static_cast<std::uint32_t>(
        payload_format::read_le(record + record_size(quick.count) - 4, 4));
    free(record);
    // A slice of the files is checked by content at every start, going on
    // where the last sweep stopped: a change no listing can see (same size,
    // time and id) is found within sweep_starts starts, however short the
    // program runs.
    const std::size_t next = read_sweep_next();
    const std::size_t slice = sweep_slice(quick.count);
    wchar_t path[path_capacity];
    for (std::size_t k = 0; k < slice; ++k) {
        const std::size_t i = (next + k) % quick.count;
        const payload_index::entry& e = quick.entries[i];
        if (quick.trusted[i] && (!index_entry_path(quick.folder, quick.folder_units, e, path) ||
                                 file_checksum_with(path, background_buffer) != e.checksum)) {
            quick.trusted[i] = false;
            trace(L"quick check: a file differs behind its record");
        }
    }
    quick.sweep_next = (next + slice) % quick.count;
    save_sweep_next(quick.sweep_next);
    std::size_t trusted = 0;
    for (std::size_t i = 0; i < quick.count; ++i) {
        if (quick.trusted[i]) {
            index_check_trust(i);
            ++trusted;
        }
    }
    quick.trusted_count = trusted;
    trace(L"quick check: the record vouches for %Iu of %Iu files", trusted, quick.count);
    return trusted;
}

void quick_check_record() {
    if (quick.count == 0 || quick.trusted_count == quick.count) return;
    list_every_folder();
    wchar_t path[path_capacity], new_path[path_capacity];
    if (!record_path(record_name, path) || !record_path(record_new_name, new_path)) return;
    for (std::size_t i = 0; i < quick.count; ++i) {
        // A file not seen (it could not be written) leaves no record at all.
        if (!quick.seen[i] || quick.listed[i].size != quick.entries[i].size) {
            delete_file_at(path);
            return;
        }
    }
    const std::size_t size = record_size(quick.count);
    unsigned char* data = static_cast<unsigned char*>(malloc(size));
    if (data == nullptr || size > MAXDWORD) {
        free(data);
        return;
    }
    encode_record(data, quick.index_checksum, quick.listed, quick.count);
    const auto new_checksum =
        static_cast<std::uint32_t>(payload_format::read_le(data + size - 4, 4));
    // Made new, so that nothing planted under that name is written through,
    // then renamed over the old record whole.
    delete_file_at(new_path);
    HANDLE file = INVALID_HANDLE_VALUE;
    retry_while_busy([&] {
        file = CreateFileW(new_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    DWORD written = 0;
    const bool complete = file != INVALID_HANDLE_VALUE &&
                          WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) &&
                          written == size;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    free(data);
    if (complete && retry_while_busy([&] {
            return MoveFileExW(new_path, path, MOVEFILE_REPLACE_EXISTING) != FALSE;
        })) {
        trace(L"quick check: record written for %Iu files", quick.count);
        // The sweep goes on with the new record from where it was.
        quick.record_checksum = new_checksum;
        save_sweep_next(quick.sweep_next);
    } else {
        delete_file_at(new_path);
    }
}

void quick_check_in_background() {
    const HANDLE thread = CreateThread(nullptr, 64 * 1024, check_in_background, nullptr,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread != nullptr) CloseHandle(thread);
}
