#!/usr/bin/env bash
# Builds the XmlDocument fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it on the committed corpus.
#
# Usage: fuzz/run_xml_fuzzer.sh [--build-dir DIR] [--seconds N] [--build-only]
#                               [libFuzzer args...]
# New inputs go to DIR/corpus; the committed corpus is only read. Crashes
# are written to DIR/artifacts/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="$root/build/fuzz"
seconds=30
build_only=0
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build="$2"; shift 2 ;;
        --seconds) seconds="$2"; shift 2 ;;
        --build-only) build_only=1; shift ;;
        *) break ;;
    esac
done
cxx="$(command -v clang++ || command -v clang++-14 || true)"
if [ -z "$cxx" ]; then
    echo "clang++ is missing: install the clang and libclang-rt-14-dev packages" >&2
    exit 1
fi

sources=(
    "$here/xml_fuzzer.cpp"
    "$root/foundation/xmlcore.cpp"
    "$root/foundation/xmlscan.cpp"
    "$root/foundation/xmlutf8.cpp"
    "$root/foundation/xmlcheck.cpp"
)
binary="$build/xml_fuzzer"
mkdir -p "$build/corpus" "$build/artifacts"
stale=0
if [ ! -x "$binary" ]; then
    stale=1
else
    for f in "${sources[@]}" "$root"/foundation/xml*.h "$root/foundation/xmldocument.h"; do
        if [ "$f" -nt "$binary" ]; then stale=1; fi
    done
fi
if [ "$stale" = 1 ]; then
    echo "building $binary"
    "$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer \
        -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
        -I"$root" "${sources[@]}" -o "$binary.tmp"
    mv "$binary.tmp" "$binary"
fi
if [ "$build_only" = 1 ]; then exit 0; fi

exec "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/" -print_final_stats=1 "$@" \
    "$build/corpus" "$here/corpus/xml"
