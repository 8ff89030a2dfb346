#!/usr/bin/env bash
# Builds release 1 and release 2 of release.c for every executable format the
# machine's toolchains can produce, into OUTDIR as NAME.1 and NAME.2. A pair
# that cannot be built is reported on stderr and left out.
#   build_releases.sh OUTDIR
set -u
src="$(cd "$(dirname "$0")" && pwd)"
out="$1"
mkdir -p "$out"
flags=(-O1 -nostdlib -ffreestanding -fno-stack-protector -fno-asynchronous-unwind-tables)
status=0

pair() {
  local name="$1"; shift
  for release in 1 2; do
    if ! "$@" -DRELEASE=$release "$src/release.c" -o "$out/$name.$release" \
        >"$out/$name.log" 2>&1; then
      echo "releases: could not build $name (see $out/$name.log)" >&2
      rm -f "$out/$name.1" "$out/$name.2"
      status=1
      return
    fi
  done
  rm -f "$out/$name.log"
}

elf() {
  local target="$1" name="$2"; shift 2
  pair "$name" clang --target="$target" "${flags[@]}" -fuse-ld=lld -fPIE -pie \
    -Wl,--pack-dyn-relocs=none "$@"
}

elf i386-linux-gnu elf32_x86
elf x86_64-linux-gnu elf64_x64
elf armv7a-linux-gnueabihf elf32_arm
elf armv7a-linux-gnueabihf elf32_thumb -mthumb
pair pe32 i686-w64-mingw32-gcc "${flags[@]}" -shared -Wl,-e,_start
pair pe64 x86_64-w64-mingw32-gcc "${flags[@]}" -shared -Wl,-e,_start
pair macho64 clang --target=x86_64-apple-macos11 "${flags[@]}" -fuse-ld=lld -Wl,-e,__start
pair macho64_os clang --target=x86_64-apple-macos11 "${flags[@]}" -Os -fuse-ld=lld -Wl,-e,__start
exit $status
