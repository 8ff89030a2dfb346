#!/bin/bash
# Fetches real release pairs for bench_ensemble: two versions of the same
# Debian package (the versions the archive offers, newest and the one before
# it), unpacked with dpkg-deb, one file of each kept as DIR/NAME/old and
# DIR/NAME/new. A pair that cannot be fetched is skipped with a note; pairs
# already present are kept. Run by the benchmark itself, by hand, never in CI.
#   fetch-release-pairs.sh DIR [--large]
set -u
dir=${1:?usage: fetch-release-pairs.sh DIR [--large]}
large=${2:-}
mkdir -p "$dir" || exit 1
debs="$dir/debs"
mkdir -p "$debs"
# apt's download user cannot write into a private directory; the files are
# public packages either way.
chmod 0755 "$dir" "$debs" 2>/dev/null

note() { echo "release pairs: $*" >&2; }

# The two newest versions of a package that the configured archive offers.
versions() {
    apt-cache madison "$1" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}' | awk '!seen[$0]++'
}

# Downloads package=version and extracts `file` from it to `out`.
extract() {
    local package=$1 version=$2 file=$3 out=$4
    local work
    work=$(mktemp -d) || return 1
    # One directory per version, so that the file name (with its escaped
    # epoch) need not be guessed.
    local store="$debs/${package//:/_}_$version"
    mkdir -p "$store" && chmod 0755 "$store"
    if [ -z "$(ls "$store"/*.deb 2>/dev/null)" ] \
        && ! (cd "$store" && apt-get download -q "$package=$version" >/dev/null 2>&1); then
        note "cannot download $package $version"
        rm -rf "$work"
        return 1
    fi
    local deb
    deb=$(ls "$store"/*.deb 2>/dev/null | head -1)
    if [ -z "$deb" ] || ! dpkg-deb -x "$deb" "$work"; then
        note "cannot unpack $package $version"
        rm -rf "$work"
        return 1
    fi
    # The file may be a symbolic link inside the package.
    if ! cp -L "$work/$file" "$out"; then
        note "$package $version has no $file"
        rm -rf "$work"
        return 1
    fi
    rm -rf "$work"
}

# Extracts one file of each package version as DIR/NAME/old and new, or
# skips the pair with a note.
fetchPair() {
    local name=$1 oldPackage=$2 oldVersion=$3 oldFile=$4 newPackage=$5 newVersion=$6 newFile=$7
    mkdir -p "$dir/$name"
    if extract "$oldPackage" "$oldVersion" "$oldFile" "$dir/$name/old" \
        && extract "$newPackage" "$newVersion" "$newFile" "$dir/$name/new"; then
        echo "$oldPackage $oldVersion -> $newPackage $newVersion: $newFile" > "$dir/$name/info"
    else
        note "skipping $name"
        rm -rf "${dir:?}/$name"
    fi
}

havePair() { [ -s "$dir/$1/old" ] && [ -s "$dir/$1/new" ]; }

# A point-release pair: the two newest versions of one package.
pointPair() {
    local name=$1 package=$2 file=$3
    havePair "$name" && return 0
    local all
    mapfile -t all < <(versions "$package")
    if [ "${#all[@]}" -lt 2 ]; then
        note "skipping $name: the archive offers fewer than two versions of $package"
        return 0
    fi
    fetchPair "$name" "$package" "${all[1]}" "$file" "$package" "${all[0]}" "$file"
}

# A pair of versioned library packages (major versions apart).
majorPair() {
    local name=$1 oldPackage=$2 oldFile=$3 newPackage=$4 newFile=$5
    havePair "$name" && return 0
    local oldVersion newVersion
    oldVersion=$(versions "$oldPackage" | head -1)
    newVersion=$(versions "$newPackage" | head -1)
    if [ -z "$oldVersion" ] || [ -z "$newVersion" ]; then
        note "skipping $name: $oldPackage or $newPackage not in the archive"
        return 0
    fi
    fetchPair "$name" "$oldPackage" "$oldVersion" "$oldFile" "$newPackage" "$newVersion" "$newFile"
}

if ! command -v apt-get >/dev/null || ! command -v dpkg-deb >/dev/null; then
    note "apt-get or dpkg-deb missing: no release pairs"
    exit 0
fi

arch=$(dpkg --print-architecture)
case $arch in
amd64) triplet=x86_64-linux-gnu ;;
i386) triplet=i386-linux-gnu ;;
armhf) triplet=arm-linux-gnueabihf ;;
arm64) triplet=aarch64-linux-gnu ;;
*) triplet=$arch-linux-gnu ;;
esac

pointPair curl-lib libcurl4 "usr/lib/$triplet/libcurl.so.4"
pointPair git git usr/bin/git
pointPair openssl-libcrypto libssl3 "usr/lib/$triplet/libcrypto.so.3"
pointPair postgres postgresql-15 usr/lib/postgresql/15/bin/postgres
# The same programs for the other architectures the updater ships on, where
# dpkg has them configured (dpkg --add-architecture); skipped otherwise.
for foreign in i386 armhf; do
    case $foreign in
    i386) ftriplet=i386-linux-gnu ;;
    armhf) ftriplet=arm-linux-gnueabihf ;;
    esac
    if [ "$foreign" = "$arch" ]; then
        continue
    fi
    if ! dpkg --print-foreign-architectures | grep -qx "$foreign"; then
        note "skipping the $foreign pairs: dpkg has no $foreign architecture configured"
        continue
    fi
    pointPair "curl-lib-$foreign" "libcurl4:$foreign" "usr/lib/$ftriplet/libcurl.so.4"
    pointPair "openssl-libcrypto-$foreign" "libssl3:$foreign" "usr/lib/$ftriplet/libcrypto.so.3"
done
if [ "$large" = "--large" ]; then
    majorPair llvm-14-16 libllvm14 "usr/lib/$triplet/libLLVM-14.so.1" \
        libllvm16 "usr/lib/$triplet/libLLVM-16.so.1"
fi
exit 0
