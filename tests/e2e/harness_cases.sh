#!/usr/bin/env bash
# The emulator as a test harness: bounds, signals, -q and -expect on the control-loop example
# and on the Java test programs. One row per case: the emulator's options, the status it
# must end with, and a line (a grep pattern) its output must end with.
set -u
: "${MIRT_LINKER:?}" "${MIRT_EMULATOR:?}" "${MIRT_CHECK:?}" "${MIRT_JAVA_DIR:?}" "${MIRT_WORK_DIR:?}"
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$MIRT_WORK_DIR/harness
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

javac --release 17 -g -d . "$root"/examples/control_loop/*.java \
    "$MIRT_JAVA_DIR"/programs/{Blink,Control,Util,Deviations}.java "$MIRT_JAVA_DIR/drive/vm/Drive.java" || exit 1
"$MIRT_LINKER" -map loop.map Controller.class Regulator.class loop.prg >/dev/null || exit 1
"$MIRT_LINKER" Blink.class Drive.class blink.prg >/dev/null || exit 1
"$MIRT_LINKER" Control.class Util.class Drive.class control.prg >/dev/null || exit 1
"$MIRT_LINKER" Deviations.class Drive.class deviations.prg >/dev/null || exit 1
expect=$root/examples/control_loop/Controller.expect
head -n 10 "$expect" >short.expect
{ cat "$expect"; echo "DRIVE: native_set_led: 7"; } >long.expect
sed '5s/.*/DRIVE: native_display_int: 1/' "$expect" >wrong.expect

# options | status | the last line of the output matches
cases=(
    "-max-steps 50 loop.prg|2|^STOP: -max-steps 50 reached: 50 instructions, emulated time 200 ms, at Controller.main@[0-9]+$"
    "-q -max-ms 1000 loop.prg|2|^STOP: -max-ms 1000 passed: [0-9]+ instructions, emulated time 1100 ms, at Controller.main@7$"
    "-debug -q -max-steps 3 loop.prg|2|^STOP: -max-steps 3 reached"
    "-q -max-ms 1000 -expect $expect loop.prg|2|^STOP: -max-ms 1000 passed"
    "-q -max-ms 900 -expect $expect loop.prg|3|^EXPECT: line 39: expected \"DRIVE: native_get_analog_input\", the run printed no more drive lines \\(emulated time 1000 ms, at Controller\\.main@7\\)$"
    "-q -max-ms 1000 -expect short.expect loop.prg|3|^EXPECT: line 11: the run printed \"DRIVE: native_display_int: 175\" after the last expected line \\(emulated time 300 ms, at Controller\\.main@22\\)$"
    "-q -max-ms 1000 -expect long.expect loop.prg|3|^EXPECT: line 43: expected \"DRIVE: native_set_led: 7\", the run printed no more drive lines \\(emulated time 1100 ms, at Controller\\.main@7\\)$"
    "-q -max-ms 1000 -expect wrong.expect loop.prg|3|^EXPECT: line 5: expected \"DRIVE: native_display_int: 1\", the run printed \"DRIVE: native_set_dig_output: 1\" \\(emulated time 100 ms, at Controller\\.main@47\\)$"
    "-q -max-ms 1000 -map loop.map -expect wrong.expect loop.prg|3|^EXPECT: line 5: .* \\(emulated time 100 ms, at Controller\\.main@47, Controller\\.java:24\\)$"
    "-max-steps x loop.prg|1|^	mirt_emulator.exe \[-debug\] input.prg$"
    "-max-ms -5 loop.prg|1|^	mirt_emulator.exe"
    "-max-steps 0 loop.prg|1|^	mirt_emulator.exe"
    "-expect missing.expect loop.prg|1|^	mirt_emulator.exe"
    "-q -q loop.prg|1|^	mirt_emulator.exe"
    "loop.prg -q|1|^	mirt_emulator.exe"
    "--help|0|-svg FILE"
)
for row in "${cases[@]}"; do
    IFS='|' read -r options status pattern <<<"$row"
    # shellcheck disable=SC2086 # the options are words
    "$MIRT_EMULATOR" $options | cat >out.txt # through a pipe: the buffered output must arrive
    got=${PIPESTATUS[0]}
    [ "$got" = "$status" ] || fail "$options: status $got, not $status"
    tail -n 1 out.txt | grep -Eq -- "$pattern" || fail "$options: last line $(tail -n 1 out.txt)"
    if [ "$status" = 1 ] && grep -q 'trying to decode' out.txt; then fail "$options: it ran"; fi
done

# A signal: what was printed up to there arrives through the pipe, then the STOP line.
rm -f pipe && mkfifo pipe
cat pipe >signal.txt &
reader=$!
"$MIRT_EMULATOR" -q loop.prg >pipe &
emulator=$!
sleep 0.3
kill -TERM $emulator
wait $emulator
got=$?
wait $reader
[ "$got" = 143 ] || fail "SIGTERM: status $got, not 143"
tail -n 1 signal.txt | grep -Eq '^STOP: SIGTERM: [0-9]+ instructions, emulated time [0-9]+ ms, at Controller\.main@[0-9]+$' ||
    fail "SIGTERM: last line $(tail -n 1 signal.txt)"
[ "$(grep -c '^DRIVE: native_display_int' signal.txt)" -gt 100 ] || fail "SIGTERM: the drive lines before it are missing"
head -n 2 signal.txt | diff - <(head -n 2 "$expect") >/dev/null || fail "SIGTERM: the output does not begin as the run does"

# A reader that goes away ends the run quietly.
"$MIRT_EMULATOR" -q loop.prg 2>err.txt | head -n 1 >/dev/null
got=${PIPESTATUS[0]}
[ "$got" = 141 ] && [ ! -s err.txt ] || fail "closed pipe: status $got, $(cat err.txt)"

# -q prints exactly the drive, warning and error lines of the full run, plus one line for each
# drive function the emulator does not carry out.
for package in blink.prg control.prg deviations.prg; do
    "$MIRT_EMULATOR" "$package" >full.txt
    full_status=$?
    "$MIRT_EMULATOR" -q "$package" >quiet.txt
    quiet_status=$?
    [ "$full_status" = "$quiet_status" ] || fail "-q $package: status $quiet_status, not $full_status"
    grep -E '^(DRIVE|WARNING|ERROR|STOP): ' full.txt >subset.txt
    grep -v ' not emulated$' quiet.txt | diff subset.txt - >/dev/null || fail "-q $package: not the subset of the full run"
    [ "$(grep -c ' not emulated$' quiet.txt)" = "$(grep -c '^ERROR: default function' full.txt)" ] ||
        fail "-q $package: one not-emulated line per call"
done
grep -q '^DRIVE: SetMaxSpeed(500) not emulated$' quiet.txt || fail "-q: the not-emulated line names the call"

# One step from source to run.
"$(dirname "$MIRT_EMULATOR")/mirt_run" "$root"/examples/control_loop/Controller.java \
    "$root"/examples/control_loop/Regulator.java -- -q -max-ms 1000 -expect "$expect" >run.txt
got=$?
[ "$got" = 2 ] && tail -n 1 run.txt | grep -q '^STOP: -max-ms 1000 passed' || fail "mirt_run: status $got, $(tail -n 1 run.txt)"

echo "$((${#cases[@]} + 7 - failures)) passed, $failures failed"
[ "$failures" = 0 ]
