#!/usr/bin/env bash
# Builds the tools, then compiles, links, checks and runs examples/Blink.java quietly: its
# drive lines, and how to see the whole trace. The linker's and checker's lines are shown
# only when they fail.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh" --example
tests=OFF # the tests need GoogleTest, which the example does not install
[ -f /usr/include/gtest/gtest.h ] && tests=ON
cmake -S "$root" -B "$root/build" -DMIRT_BUILD_TESTS=$tests >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target mirt_linker mirt_emulator mirt_check >/dev/null
work=$root/build/example
mkdir -p "$work"
cd "$work"
javac --release 17 -g -d . "$root/examples/Blink.java"
"$root/build/mirt_linker" -map Blink.map Blink.class Blink.prg >link.out || { cat link.out; exit 1; }
"$root/build/mirt_check" -map Blink.map Blink.prg >check.out || { cat check.out; exit 1; }
"$root/build/mirt_emulator" -q Blink.prg
echo "The whole trace (package, start-up, every call): build/mirt_emulator build/example/Blink.prg"
