// A block around frame bytes, for the tests of both hosts: "QJX", the
// frames, the zero field and the trailer, as the packer writes them.
#pragma once

#include "format/block.h"

#include <vector>

inline std::vector<unsigned char> block_around(const std::vector<unsigned char>& frames) {
    std::vector<unsigned char> out;
    for (char c : payload_format::magic) out.push_back(static_cast<unsigned char>(c));
    out.insert(out.end(), frames.begin(), frames.end());
    unsigned char tail[payload_format::tail_size];
    payload_format::put_tail(tail, frames.size());
    out.insert(out.end(), tail, tail + sizeof tail);
    return out;
}
