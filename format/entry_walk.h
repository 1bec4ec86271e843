// The entry stream, one header at a time, from any source of decoded bytes.
// The block reader (format/block_reader.h), which the launcher, `fenwix
// list|verify|extract`, the index builder and the fuzz targets all drive,
// reads every header through this one step, so every one of
// them reads a header the same way and judges its name at the same moment,
// by the same rule (format/names.h); each then does with a bad name what it
// is for (the launcher refuses the block, `list` shows it).
//
// Pure and header-only: works on UTF-16 units of any 16-bit type.
#pragma once

#include "format/block.h"
#include "format/names.h"

#include <cstddef>
#include <cstdint>

namespace entry_walk {

enum class step {
    entry,          // a header was read; its data follow in the stream
    end,            // the terminator: an empty name
    name_too_long,  // 1,024 units without a 0 unit, which no valid block holds
    stopped,        // a read could not be met; the source says why
};

// What a header says besides its name.
struct fields {
    std::size_t units = 0;  // of the name, before its terminator
    std::uint64_t size = 0;
    std::uint32_t checksum = 0;
    entry_names::problem problem = entry_names::problem::none;  // of the name
};

// Reads the next header through bool read(unsigned char* out, std::size_t n),
// which delivers exactly n bytes or returns false. The name goes into `name`
// (payload_format::name_buffer_units units, terminated).
template <typename Unit, typename Read>
step next(Read&& read, Unit* name, fields& out) {
    out.units = 0;
    for (;;) {
        unsigned char unit[2];
        if (!read(unit, 2)) return step::stopped;
        const unsigned value = unit[0] | (unit[1] << 8);
        if (value == 0) break;
        if (out.units == payload_format::max_name_units) return step::name_too_long;
        name[out.units++] = static_cast<Unit>(value);
    }
    name[out.units] = 0;
    if (out.units == 0) return step::end;
    out.problem = entry_names::check(name, out.units);
    unsigned char values[12];
    if (!read(values, sizeof values)) return step::stopped;
    out.size = payload_format::get_u64_le(values);
    out.checksum = payload_format::get_u32_le(values + 8);
    return step::entry;
}

}  // namespace entry_walk
