#!/usr/bin/python3
"""Reads a launcher with pefile, a PE parser of its own, and prints every way
it is unsound: parser warnings, a wrong checksum or SizeOfImage, misaligned
sections, lost security flags, the wrong subsystem, or data after the last
section (unless the file is signed, whose certificate table lies there).
Exit status 0 when there is nothing to say."""
import sys

import pefile

DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x40, 0x20, 0x100
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def problems(path, subsystem):
    pe = pefile.PE(path)
    found = list(pe.get_warnings())
    opt = pe.OPTIONAL_HEADER
    if opt.CheckSum != pe.generate_checksum():
        found.append(f"checksum {opt.CheckSum:#x}, computed {pe.generate_checksum():#x}")
    last = pe.sections[-1]
    end = align(last.VirtualAddress + max(last.Misc_VirtualSize, last.SizeOfRawData),
                opt.SectionAlignment)
    if opt.SizeOfImage != end:
        found.append(f"SizeOfImage {opt.SizeOfImage:#x}, sections end at {end:#x}")
    for s in pe.sections:
        name = s.Name.rstrip(b"\0").decode()
        if s.VirtualAddress % opt.SectionAlignment or s.PointerToRawData % opt.FileAlignment \
                or s.SizeOfRawData % opt.FileAlignment:
            found.append(f"section {name} is misaligned")
    for flag, label in ((DYNAMIC_BASE, "ASLR"), (HIGH_ENTROPY_VA, "high-entropy VA"),
                        (NX_COMPAT, "DEP")):
        if not opt.DllCharacteristics & flag:
            found.append(f"the {label} flag is lost")
    if opt.Subsystem != subsystem:
        found.append(f"subsystem {opt.Subsystem}, expected {subsystem}")
    signed = opt.DATA_DIRECTORY[SECURITY].Size != 0
    if not signed and pe.get_overlay_data_start_offset() is not None:
        found.append("data after the last section")
    return found


if __name__ == "__main__":
    subsystem = int(sys.argv[2]) if len(sys.argv) > 2 else 3  # 3: console
    found = problems(sys.argv[1], subsystem)
    for p in found:
        print(p, file=sys.stderr)
    sys.exit(1 if found else 0)
