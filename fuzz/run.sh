#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for SECONDS seconds (default 30) on a copy of its seed corpus.
#   fuzz/run.sh [SECONDS] [TARGET...]     TARGET: emulator, methods, linker, check, stimulus, map,
#                                          expect, jdwp
# MIRT_FUZZ_SEED fixes libFuzzer's seed (CI uses one, so a smoke run repeats the same inputs);
# unset, every run draws its own.
# Crashes are written to build-fuzz/findings/<target>/; minimise one with
#   build-fuzz/fuzz_<target> -minimize_crash=1 -runs=100000 <crash file>
# and add it to tests/regressions/<target>/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(emulator methods linker check stimulus map expect jdwp)
build=$root/build-fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags" -DMIRT_BUILD_TESTS=OFF -DMIRT_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null
status=0 passed=0 failed=0
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target
    findings=$build/findings/$target
    mkdir -p "$corpus" "$findings"
    seeds=$target
    [ "$target" = check ] && seeds=emulator # both read packages
    cp -n "$root/fuzz/corpus/$seeds/"* "$corpus/" 2>/dev/null || true
    cp -n "$root/tests/regressions/$seeds/"* "$corpus/" 2>/dev/null || true
    echo "fuzzing $target for ${seconds}s"
    if ! "$build/fuzz_$target" -max_total_time="$seconds" -seed="${MIRT_FUZZ_SEED:-0}" -max_len=4096 -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" \
        2>"$build/fuzz_$target.log"; then
        echo "fuzz_$target found a problem:"
        tail -n 40 "$build/fuzz_$target.log"
        status=1
        failed=$((failed + 1))
    else
        passed=$((passed + 1))
    fi
    grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz_$target.log" || true
done
echo "fuzz: $passed passed, $failed failed"
exit $status
