#!/usr/bin/env bash
# Times mirt_emulator against the JVM's interpreter (java -Xint) and plain java on the
# programs in bench/programs, interleaved, best of RUNS runs, whole process each time.
# Checks that all three print the same DRIVE lines, and counts machine instructions per
# executed bytecode for the int loop with callgrind.
#   bench/run.sh [RUNS]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
build=$root/build-bench
work=$build/bench
"$root/tools/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMIRT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target mirt_linker mirt_emulator >/dev/null
rm -rf "$work" && mkdir -p "$work"

declare -A iterations=([IntLoop]=15000000 [LongDouble]=5000000 [CallHeavy]=300000 [ConvBranch]=5000000)
programs=(IntLoop LongDouble CallHeavy ConvBranch)

# The VM variant as written; the JVM variant with Java bodies for the drive functions and a
# main(String[]) that calls the program's main().
make_variant() { # program n kind dir
    local program=$1 n=$2 kind=$3 dir=$4
    mkdir -p "$dir"
    local src=$dir/$program.java
    sed "s/ITERATIONS/$n/" "$root/bench/programs/$program.java" >"$src"
    if [ "$kind" = jvm ]; then
        sed -i \
            -e 's/static native void SendInt(int value);/static void SendInt(int value) { System.out.println("DRIVE: native_display_int: " + value); }/' \
            -e 's/static native void SendLong(long value);/static void SendLong(long value) { System.out.println("DRIVE: native_display_long: " + (int) value); }/' \
            -e '0,/static void main() {/s//public static void main(String[] args) { main(); }\n    static void main() {/' "$src"
    fi
    javac --release 17 -g:none -d "$dir" "$src"
    if [ "$kind" = vm ]; then (cd "$dir" && "$build/mirt_linker" "$program.class" "$program.prg" >/dev/null); fi
}

# Bytecodes executed for n iterations, from the per-instruction trace of two short runs.
count_bytecodes() { # program n
    local program=$1 n=$2 c1 c2
    make_variant "$program" 1000 vm "$work/count1000/$program"
    make_variant "$program" 2000 vm "$work/count2000/$program"
    c1=$("$build/mirt_emulator" -debug "$work/count1000/$program/$program.prg" | grep -c $'^\t\topcode:')
    c2=$("$build/mirt_emulator" -debug "$work/count2000/$program/$program.prg" | grep -c $'^\t\topcode:')
    # +1: the final return of main prints no trace line
    echo $(((c2 - c1) * (n - 1000) / 1000 + c1 + 1))
}

now() { date +%s%N; }
best() { sort -n | head -n 1; }

printf '%-11s %12s %10s %10s %10s %12s %12s\n' program bytecodes emulator "java -Xint" java "emu/-Xint" "ns/bytecode"
for program in "${programs[@]}"; do
    n=${iterations[$program]}
    make_variant "$program" "$n" vm "$work/vm/$program"
    make_variant "$program" "$n" jvm "$work/jvm/$program"
    bytecodes=$(count_bytecodes "$program" "$n")
    : >"$work/$program.emu.times" && : >"$work/$program.xint.times" && : >"$work/$program.jit.times"
    for _ in $(seq "$runs"); do
        t0=$(now); "$build/mirt_emulator" "$work/vm/$program/$program.prg" >"$work/$program.emu.out"; t1=$(now)
        java -Xint -cp "$work/jvm/$program" "$program" >"$work/$program.xint.out"; t2=$(now)
        java -cp "$work/jvm/$program" "$program" >"$work/$program.jit.out"; t3=$(now)
        echo $((t1 - t0)) >>"$work/$program.emu.times"
        echo $((t2 - t1)) >>"$work/$program.xint.times"
        echo $((t3 - t2)) >>"$work/$program.jit.times"
    done
    grep '^DRIVE: ' "$work/$program.emu.out" >"$work/$program.emu.drive"
    if ! cmp -s "$work/$program.emu.drive" "$work/$program.xint.out" ||
        ! cmp -s "$work/$program.xint.out" "$work/$program.jit.out"; then
        echo "$program: results differ"; diff "$work/$program.emu.drive" "$work/$program.xint.out" || true
        exit 1
    fi
    emu=$(best <"$work/$program.emu.times"); xint=$(best <"$work/$program.xint.times"); jit=$(best <"$work/$program.jit.times")
    awk -v p="$program" -v b="$bytecodes" -v e="$emu" -v x="$xint" -v j="$jit" 'BEGIN {
        printf "%-11s %12d %9.3fs %9.3fs %9.3fs %12.2f %12.2f\n", p, b, e/1e9, x/1e9, j/1e9, e/x, e/b }'
done

# CallHeavy without its trace lines (-q), interleaved with java -Xint again: what the calls
# themselves cost.
: >"$work/CallHeavy.quiet.times" && : >"$work/CallHeavy.xint-quiet.times"
for _ in $(seq "$runs"); do
    t0=$(now); "$build/mirt_emulator" -q "$work/vm/CallHeavy/CallHeavy.prg" >"$work/CallHeavy.quiet.out"; t1=$(now)
    java -Xint -cp "$work/jvm/CallHeavy" CallHeavy >/dev/null; t2=$(now)
    echo $((t1 - t0)) >>"$work/CallHeavy.quiet.times"
    echo $((t2 - t1)) >>"$work/CallHeavy.xint-quiet.times"
done
if ! cmp -s "$work/CallHeavy.quiet.out" "$work/CallHeavy.xint.out"; then
    echo "CallHeavy -q: results differ"; exit 1
fi
awk -v e="$(best <"$work/CallHeavy.quiet.times")" -v x="$(best <"$work/CallHeavy.xint-quiet.times")" 'BEGIN {
    printf "\nCallHeavy -q: %.3fs, java -Xint %.3fs, emu/-Xint %.2f\n", e/1e9, x/1e9, e/x }'

# Per bytecode over long runs: the loops run again with four times the iterations; the
# difference of the two times over the difference of the two bytecode counts leaves out
# start-up, class loading and the final output, which both processes pay once (the longer
# run keeps the JVM's start-up jitter small against the difference).
printf '\n%-11s %14s %14s %10s\n' program "emulator ns/bc" "-Xint ns/bc" "emu/-Xint"
for program in IntLoop LongDouble ConvBranch; do
    n=${iterations[$program]}
    make_variant "$program" $((4 * n)) vm "$work/vm2/$program"
    make_variant "$program" $((4 * n)) jvm "$work/jvm2/$program"
    extra=$(($(count_bytecodes "$program" $((4 * n))) - $(count_bytecodes "$program" "$n")))
    : >"$work/$program.emu2.times" && : >"$work/$program.xint2.times"
    for _ in $(seq "$runs"); do
        t0=$(now); "$build/mirt_emulator" "$work/vm2/$program/$program.prg" >/dev/null; t1=$(now)
        java -Xint -cp "$work/jvm2/$program" "$program" >/dev/null; t2=$(now)
        echo $((t1 - t0)) >>"$work/$program.emu2.times"
        echo $((t2 - t1)) >>"$work/$program.xint2.times"
    done
    emu=$(best <"$work/$program.emu.times"); xint=$(best <"$work/$program.xint.times")
    emu2=$(best <"$work/$program.emu2.times"); xint2=$(best <"$work/$program.xint2.times")
    awk -v p="$program" -v b="$extra" -v e="$((emu2 - emu))" -v x="$((xint2 - xint))" 'BEGIN {
        printf "%-11s %14.3f %14.3f %10.2f\n", p, e/b, x/b, e/x }'
done

if command -v valgrind >/dev/null; then
    n=1000000
    make_variant IntLoop "$n" vm "$work/callgrind/IntLoop"
    bytecodes=$(count_bytecodes IntLoop "$n")
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" \
        "$build/mirt_emulator" "$work/callgrind/IntLoop/IntLoop.prg" >/dev/null 2>"$work/callgrind.log"
    total=$(grep -E '^summary:|^totals:' "$work/callgrind.out" | head -n 1 | awk '{print $2}')
    awk -v t="$total" -v b="$bytecodes" 'BEGIN {
        printf "callgrind, IntLoop with 1e6 iterations: %d instructions for %d bytecodes = %.1f per bytecode\n", t, b, t/b }'
    # How much of CallHeavy's work is formatting and writing its trace lines: the share of
    # the instructions spent inside glibc's formatter and its writes (their callees included;
    # printf itself is a tail call the profile does not list, and none of these calls another).
    make_variant CallHeavy 2000 vm "$work/callgrind/CallHeavy"
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind-calls.out" \
        "$build/mirt_emulator" "$work/callgrind/CallHeavy/CallHeavy.prg" >/dev/null 2>"$work/callgrind.log"
    total=$(grep -E '^summary:|^totals:' "$work/callgrind-calls.out" | head -n 1 | awk '{print $2}')
    output=$(callgrind_annotate --inclusive=yes "$work/callgrind-calls.out" |
        awk '$0 ~ /:(__vfprintf_internal|fwrite|puts|putchar) \[/ { gsub(",", "", $1); s += $1 } END { print s + 0 }')
    awk -v t="$total" -v o="$output" 'BEGIN {
        printf "callgrind, CallHeavy with 2000 iterations: %.0f%% of %d instructions are in formatting and writing output\n", 100*o/t, t }'
fi
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); $(java -version 2>&1 | head -n 1)"
