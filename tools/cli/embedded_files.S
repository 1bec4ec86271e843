// What the fenwix tool carries inside itself, so that it needs no other file:
// the launcher stub, its default icon and its application manifest. The
// build passes the three paths as FENWIX_STUB_FILE, FENWIX_ICON_FILE and
// FENWIX_MANIFEST_FILE.
#ifdef _WIN32
    .section .rdata,"dr"
#else
    .section .rodata
#endif

#define EMBED(name, file) \
    .globl name;          \
    .p2align 4;           \
    name:                 \
    .incbin file;         \
    .globl name##_end;    \
    name##_end:

EMBED(fenwix_embedded_stub, FENWIX_STUB_FILE)
EMBED(fenwix_embedded_icon, FENWIX_ICON_FILE)
EMBED(fenwix_embedded_manifest, FENWIX_MANIFEST_FILE)

#ifndef _WIN32
    .section .note.GNU-stack,"",@progbits
#endif
