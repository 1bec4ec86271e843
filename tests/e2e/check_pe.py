#!/usr/bin/python3
"""Reads a launcher with pefile, a PE parser of its own, and prints every way
it is unsound: parser warnings, a wrong checksum or SizeOfImage, misaligned
sections, a gap between sections in memory or in the file, lost security
flags, the wrong subsystem, data after the last section (unless the file is
signed, whose certificate table lies there), or a signature whose digest is
not the one Windows computes. Exit status 0 when there is nothing to say."""
import hashlib
import sys

import pefile
from asn1crypto import algos, cms, core

DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x40, 0x20, 0x100
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


# Each is in the system's KnownDLLs list (advapi32: the access lists of the
# folders the launcher makes).
KNOWN_DLLS = {"kernel32.dll", "ntdll.dll", "msvcrt.dll", "shell32.dll", "advapi32.dll"}


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", core.Any), ("message_digest", algos.DigestInfo)]


def unowned_bytes(pe, end):
    """The spans before `end` in neither the headers nor a section's data:
    Windows' Authenticode digest skips them, a signer hashing the file
    straight through does not."""
    spans = sorted([(0, pe.OPTIONAL_HEADER.SizeOfHeaders)] +
                   [(s.PointerToRawData, s.PointerToRawData + s.SizeOfRawData)
                    for s in pe.sections if s.SizeOfRawData])
    found, covered = [], 0
    for start, stop in spans + [(end, end)]:
        if start > covered:
            found.append((covered, start))
        covered = max(covered, stop)
    return found


def windows_digest(pe, algorithm):
    """The Authenticode digest as Microsoft specifies it: the headers without
    CheckSum and the certificate table's directory entry, each section's data
    in file order, then what follows them up to the certificate table."""
    data, opt = pe.__data__, pe.OPTIONAL_HEADER
    checksum = opt.get_field_absolute_offset("CheckSum")
    entry = opt.DATA_DIRECTORY[SECURITY].get_file_offset()
    digest = hashlib.new(algorithm)
    for start, stop in ((0, checksum), (checksum + 4, entry), (entry + 8, opt.SizeOfHeaders)):
        digest.update(data[start:stop])
    hashed = opt.SizeOfHeaders
    for s in sorted((s for s in pe.sections if s.SizeOfRawData), key=lambda s: s.PointerToRawData):
        digest.update(data[s.PointerToRawData:s.PointerToRawData + s.SizeOfRawData])
        hashed += s.SizeOfRawData
    digest.update(data[hashed:len(data) - opt.DATA_DIRECTORY[SECURITY].Size])
    return digest.digest()


def signed_digest(pe):
    """The algorithm and the digest inside the signature's SpcIndirectDataContent."""
    table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]  # its "address" is a file offset
    start = table.VirtualAddress + 8  # past WIN_CERTIFICATE's header
    blob = pe.__data__[start:table.VirtualAddress + table.Size]
    signed = cms.ContentInfo.load(bytes(blob))["content"]["encap_content_info"]["content"]
    info = signed.parse(SpcIndirectDataContent)["message_digest"]
    return info["digest_algorithm"]["algorithm"].native, info["digest"].native


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
    for s, after in zip(pe.sections, pe.sections[1:]):
        name = s.Name.rstrip(b"\0").decode()
        pages = align(s.Misc_VirtualSize or s.SizeOfRawData, opt.SectionAlignment)
        if after.VirtualAddress != s.VirtualAddress + pages:  # Windows loads no gap
            found.append(f"section {name} is not followed by the next in memory")
        if s.SizeOfRawData > pages:
            found.append(f"section {name}'s file data reach into the next section's pages")
    # The loader finds what an image imports before any of its code can
    # restrict where libraries come from; only the system's known DLLs are
    # always taken from System32, never from beside a downloaded launcher.
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        if entry.dll.decode().lower() not in KNOWN_DLLS:
            found.append(f"imports {entry.dll.decode()}, which could be loaded from beside it")
    signed = opt.DATA_DIRECTORY[SECURITY].Size != 0
    if not signed and pe.get_overlay_data_start_offset() is not None:
        found.append("data after the last section")
    end = opt.DATA_DIRECTORY[SECURITY].VirtualAddress if signed else len(pe.__data__)
    for start, stop in unowned_bytes(pe, end):
        found.append(f"bytes {start:#x}..{stop:#x} lie in no section")
    if signed:
        algorithm, digest = signed_digest(pe)
        if windows_digest(pe, algorithm) != digest:
            found.append(f"the signature's {algorithm} digest is not the one Windows computes")
    return found


if __name__ == "__main__":
    subsystem = int(sys.argv[2]) if len(sys.argv) > 2 else 3  # 3: console
    found = problems(sys.argv[1], subsystem)
    for p in found:
        print(p, file=sys.stderr)
    sys.exit(1 if found else 0)
