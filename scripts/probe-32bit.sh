#!/usr/bin/env bash
# Does this kernel run 32-bit (i386) programs? Writes a tiny static i386
# program that only exits with status 42, runs it, and answers by exit status:
#   0  it ran;  1  the kernel refused it ("Exec format error");  2  cannot tell
# (no folder to run it from, or another failure; the reason on standard error).
# amd64 kernels since 6.7 can be built, or booted, without 32-bit emulation.
set -uo pipefail

# The program, 95 bytes: an ELF header, one program header that loads the whole
# file at 0x08048000, and 11 bytes of code at file offset 84.
write_program() {
  # ELF header (52 bytes)
  printf '\x7fELF\x01\x01\x01\x00' # magic; 32-bit, little-endian, version 1, System V
  printf '\x00\x00\x00\x00\x00\x00\x00\x00' # ABI version, padding
  printf '\x02\x00\x03\x00'         # e_type EXEC, e_machine 386
  printf '\x01\x00\x00\x00'         # e_version 1
  printf '\x54\x80\x04\x08'         # e_entry 0x08048054: the code below
  printf '\x34\x00\x00\x00'         # e_phoff 52: the program header follows
  printf '\x00\x00\x00\x00'         # e_shoff: no section headers
  printf '\x00\x00\x00\x00'         # e_flags
  printf '\x34\x00\x20\x00\x01\x00' # e_ehsize 52, e_phentsize 32, e_phnum 1
  printf '\x00\x00\x00\x00\x00\x00' # e_shentsize, e_shnum, e_shstrndx
  # Program header (32 bytes)
  printf '\x01\x00\x00\x00'         # p_type LOAD
  printf '\x00\x00\x00\x00'         # p_offset 0
  printf '\x00\x80\x04\x08'         # p_vaddr 0x08048000
  printf '\x00\x80\x04\x08'         # p_paddr
  printf '\x5f\x00\x00\x00'         # p_filesz 95
  printf '\x5f\x00\x00\x00'         # p_memsz 95
  printf '\x05\x00\x00\x00'         # p_flags read, execute
  printf '\x00\x10\x00\x00'         # p_align 4096
  # Code (11 bytes)
  printf '\xb8\x01\x00\x00\x00'     # mov eax, 1     (exit)
  printf '\x31\xdb'                 # xor ebx, ebx
  printf '\xb3\x2a'                 # mov bl, 42     (the status)
  printf '\xcd\x80'                 # int 0x80
}

# A folder mounted noexec would refuse any program: take the first that allows.
program=
for dir in "${TMPDIR:-/tmp}" /var/tmp /dev/shm; do
  program=$(mktemp "$dir/nivra-i386-XXXXXX" 2>/dev/null) || continue
  if write_program >"$program" && chmod 700 "$program" && [ -x "$program" ]; then
    break
  fi
  rm -f "$program"
  program=
done
if [ -z "$program" ]; then
  echo "cannot tell whether this kernel runs 32-bit programs: no folder to run one from" >&2
  exit 2
fi
trap 'rm -f "$program"' EXIT

why=$(LC_ALL=C "$program" 2>&1)
status=$?
[ $status -eq 42 ] && exit 0
case $why in
*"Exec format error"*) exit 1 ;;
esac
echo "cannot tell whether this kernel runs 32-bit programs: status $status ${why:+($why)}" >&2
exit 2
