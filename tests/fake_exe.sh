# fake_exe SIZE [FILL]: writes to standard output SIZE bytes that pass for a
# Windows executable: an MZ header, the PE signature at 0x40, and one section
# that runs from 0x200 to the end, filled from FILL (default: zero bytes).
# Sourced by the tests that stamp files.
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16)); }
fake_exe() {
    local size=$1 fill=${2:-/dev/zero}
    printf 'MZ'; head -c 58 /dev/zero; le32 64                  # e_lfanew
    printf 'PE\0\0'; le16 0x8664; le16 1; head -c 12 /dev/zero  # machine, 1 section
    le16 0; le16 0                                              # no optional header
    printf '.text\0\0\0'; le32 $((size - 512)); le32 4096       # virtual size, address
    le32 $((size - 512)); le32 512; head -c 16 /dev/zero        # raw size, raw offset
    head -c $((512 - 128)) /dev/zero
    head -c $((size - 512)) "$fill"
}
