// The quick check, for launchers built with --quick-check: a start trusts a
// file whose size, last-write time and file id, as one listing of its folder
// shows them, are those recorded after the last start that checked or wrote
// every file by content. Such a start opens no file. The content check comes
// after the program has started, in the background at low priority; a file
// found changed there drops the record, so the next start checks and repairs
// by content. Names compare as Windows folds them, so a file renamed in case
// only keeps its place. The trade: a change that keeps a file's size, time
// and id is repaired a few starts later (see the sweep below).
//
// The record is ".fenwix-record" in the target folder, the launcher's own
// data, written under the folder's lock and replaced whole. A record that is
// missing, damaged, cut short or made for another build means "check by
// content", never a failure.
#pragma once

#include "launcher/unpack/index_entries.h"

#include <cstddef>
#include <cstdint>

// The content sweep: every start checks by content the next slice of the
// files (in index order, going round), and the background check goes on
// from there while the program runs; ".fenwix-record-sweep" keeps where it
// stopped, tied to one record: u32 record checksum, u32 next entry number,
// then the CRC-32 of those 8 bytes. A change that keeps a file's size, time
// and id is so found within sweep_starts starts, however short each runs.
constexpr std::size_t sweep_starts = 32;
constexpr std::size_t sweep_size = 12;
std::size_t sweep_slice(std::size_t count);
void encode_sweep(unsigned char* out, std::uint32_t record_checksum, std::size_t next);
// False (next untouched) for bytes that are damaged, tied to another record,
// or point past the last of `count` files.
bool decode_sweep(const unsigned char* data, std::uint32_t record_checksum, std::size_t count,
                  std::size_t& next);

// Lists the folders of the index's files below `folder` (extended form) and
// marks each file the record vouches for as right (index_check_trust).
// Returns how many it trusted. Call after index_check_open; `index` lives
// until exit.
std::size_t quick_check_trust(const index_entries& index, const wchar_t* folder);

// After the check and any unpacking, under the folder's lock: when any file
// was checked or written by content, lists the folders again and replaces
// the record; when the record vouched for every file, leaves it as it is.
void quick_check_record();

// Once the program has started: checks the content of every trusted file on
// a background thread at low priority; a mismatch drops the record. The
// thread ends with the launcher.
void quick_check_in_background();
