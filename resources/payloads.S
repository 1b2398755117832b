/* The payload set, embedded byte for byte. Each blob has a start and an end symbol. */
#define BLOB(sym, file)                 \
    .section .rodata.fwu_payloads, "a"; \
    .balign 16;                         \
    .global sym;                        \
sym:                                    \
    .incbin file;   \
    .global sym##_end;                  \
sym##_end:

BLOB(fwu_payload_boot1, FWU_BOOT1)
BLOB(fwu_payload_boot2, FWU_BOOT2)
BLOB(fwu_payload_filesize, FWU_FILESIZE)
BLOB(fwu_payload_fw, FWU_FW)

.section .note.GNU-stack, "", @progbits
