#include "launcher/unpack/entries.h"

#include "launcher/errors.h"
#include "format/entry_walk.h"
#include "launcher/unpack/reader.h"

bool read_entry_header(entry_header& entry) {
    entry_walk::fields header;
    const auto read = [](unsigned char* out, std::size_t n) { payload_read(out, n); };
    switch (entry_walk::next(read, entry.name, header)) {
        case entry_walk::step::end:
            return false;
        case entry_walk::step::name_too_long:
            fail_decode();
        case entry_walk::step::entry:
            break;
    }
    // Refused before anything touches the disk for it.
    if (header.problem != entry_names::problem::none) fail_decode();
    entry.stored_size = header.size;
    entry.stored_checksum = header.checksum;
    return true;
}
