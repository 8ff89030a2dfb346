#!/usr/bin/env bash
# Installs every Debian package that building, testing, fuzzing and
# benchmarking the updater need. Does nothing when all are present.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git
  qtbase5-dev qtbase5-dev-tools qttools5-dev-tools qttools5-dev
  # Qt's own translations, installed beside the updater
  qttranslations5-l10n
  zlib1g-dev libprotobuf-dev protobuf-compiler
  libtomcrypt-dev libtommath-dev liblzma-dev
  libboost-dev libboost-date-time-dev
  # tests and sanitizers
  libgtest-dev clang lld libclang-rt-dev xvfb xauth xdotool libx11-dev
  # tools the tests and benchmarks compare against or drive
  xz-utils zstd xdelta3 curl nginx-light tinyproxy python3 libdivsufsort-dev
  libjpeg-turbo-progs
  # the certificates of the TLS tests
  openssl
  # the JPEG library the banner's decoding fuzzer decodes with
  libjpeg62-turbo-dev
  gcc-mingw-w64-i686 gcc-mingw-w64-x86-64 binutils-arm-linux-gnueabihf
  # the patch engine built as a 32-bit x86 program (scripts/test-i386.sh)
  gcc-multilib g++-multilib liblzma-dev:i386 zlib1g-dev:i386 libgtest-dev:i386
  libboost-date-time1.74-dev:i386
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# The 32-bit libraries come from the i386 half of the archive.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
