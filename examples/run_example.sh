#!/usr/bin/env bash
# Builds the tools, then compiles, links, checks and runs examples/Blink.java.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target mirt_linker mirt_emulator mirt_check >/dev/null
work=$root/build/example
mkdir -p "$work"
cd "$work"
javac --release 17 -g -d . "$root/examples/Blink.java"
"$root/build/mirt_linker" -map Blink.map Blink.class Blink.prg
"$root/build/mirt_check" -map Blink.map Blink.prg
"$root/build/mirt_emulator" Blink.prg
