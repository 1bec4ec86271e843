#include "payload/entries.h"

#include "launcher/errors.h"
#include "format/names.h"
#include "payload/reader.h"

bool read_entry_header(entry_header& entry) {
    for (std::size_t i = 0;; ++i) {
        unsigned char unit_bytes[2];
        payload_read(unit_bytes, 2);
        const wchar_t unit = static_cast<wchar_t>(unit_bytes[0] | (unit_bytes[1] << 8));
        if (unit == L'\0') {
            entry.name[i] = L'\0';
            if (i == 0) return false;
            if (entry_names::check(entry.name, i) != entry_names::problem::none) fail_decode();
            break;
        }
        if (i == payload_format::max_name_units) fail_decode();
        entry.name[i] = unit;
    }
    unsigned char size_bytes[8];
    unsigned char checksum_bytes[4];
    payload_read(size_bytes, sizeof size_bytes);
    payload_read(checksum_bytes, sizeof checksum_bytes);
    entry.stored_size = payload_format::get_u64_le(size_bytes);
    entry.stored_checksum = payload_format::get_u32_le(checksum_bytes);
    return true;
}
