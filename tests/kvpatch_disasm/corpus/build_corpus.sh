#!/usr/bin/env bash
# Builds the disassembler test corpus into OUTDIR from the sources beside
# this script. Each image is built only when its toolchain works; a missing
# image is reported on stderr and left out, and the tests skip it.
#   build_corpus.sh OUTDIR
set -u
src="$(cd "$(dirname "$0")" && pwd)"
out="$1"
mkdir -p "$out"

freestanding=(-O1 -nostdlib -ffreestanding -fno-stack-protector -fno-asynchronous-unwind-tables)
status=0

build() {
  local name="$1"; shift
  if "$@" >"$out/$name.log" 2>&1; then
    rm -f "$out/$name.log"
  else
    echo "corpus: could not build $name (see $out/$name.log)" >&2
    status=1
  fi
}

lld_elf() {
  local target="$1" name="$2"; shift 2
  build "$name" clang --target="$target" "${freestanding[@]}" -fuse-ld=lld -fPIE -pie \
    -Wl,--pack-dyn-relocs=none "$@" -o "$out/$name"
}

lld_elf i386-linux-gnu elf32_x86_pie "$src/program.c"
build elf32_x86_shared.so clang --target=i386-linux-gnu "${freestanding[@]}" -fuse-ld=lld -fPIC \
  -shared "$src/program.c" -o "$out/elf32_x86_shared.so"
lld_elf x86_64-linux-gnu elf64_x64_pie "$src/program.c"
lld_elf armv7a-linux-gnueabihf elf32_arm_pie "$src/program.c" "$src/thumb_branches.S"
lld_elf armv7a-linux-gnueabihf elf32_thumb_pie -mthumb "$src/program.c" "$src/thumb_branches.S"

# PE images: DLLs always keep their base relocations.
build pe32.dll i686-w64-mingw32-gcc "${freestanding[@]}" -shared -Wl,-e,_start \
  "$src/program.c" -o "$out/pe32.dll"
build pe64.dll x86_64-w64-mingw32-gcc "${freestanding[@]}" -shared -Wl,-e,_start \
  "$src/program.c" -o "$out/pe64.dll"

# Mach-O: the 64-bit image comes from lld's Mach-O linker; it has no 32-bit
# x86 support, so the tests write the 32-bit image themselves.
build macho64 clang --target=x86_64-apple-macos11 "${freestanding[@]}" -fuse-ld=lld \
  -Wl,-e,__start "$src/program.c" -o "$out/macho64"
exit $status
