#!/usr/bin/env bash
# What the axis model costs a polling loop: bench/programs/Polling.java run quietly with
# -drive and without it (the default row), interleaved, best of RUNS runs, whole process.
#   bench/drive_model.sh [RUNS]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
build=$root/build-bench
work=$build/bench_drive
n=1000000
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMIRT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target mirt_linker mirt_emulator >/dev/null
rm -rf "$work" && mkdir -p "$work" && cd "$work"
sed "s/ITERATIONS/$n/" "$root/bench/programs/Polling.java" >Polling.java
javac --release 17 -g:none -d . Polling.java
"$build/mirt_linker" Polling.class Polling.prg >/dev/null
printf 'max_speed: 1000\nlag_ms: 10\n' >axis.yaml
now() { date +%s%N; }
: >with.times && : >without.times
for _ in $(seq "$runs"); do
    t0=$(now); "$build/mirt_emulator" -q -drive axis.yaml Polling.prg >/dev/null; t1=$(now)
    "$build/mirt_emulator" -q Polling.prg >/dev/null; t2=$(now)
    echo $(((t1 - t0) / 1000000)) >>with.times
    echo $(((t2 - t1) / 1000000)) >>without.times
done
with=$(sort -n with.times | head -n 1)
without=$(sort -n without.times | head -n 1)
printf '%d polls of GetStatus and GetEncoderPosition each: with -drive %d ms, without %d ms (%+d %%)\n' \
    $n "$with" "$without" $(((with - without) * 100 / without))
