#!/usr/bin/env bash
# Scripted drive inputs and recorded outputs: the stimulus file (each kind of bad line is
# refused before anything runs), inputs that follow their script over GetMillis and over the
# instruction clock, and the recordings read by their real consumers: vcd2fst for the dump,
# Python's csv module for the table, an XML parser for the picture.
set -u
: "${MIRT_LINKER:?}" "${MIRT_EMULATOR:?}" "${MIRT_JAVA_DIR:?}" "${MIRT_WORK_DIR:?}"
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$MIRT_WORK_DIR/drive_io
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

javac --release 17 -g -d . "$MIRT_JAVA_DIR/programs/Scripted.java" || exit 1
"$MIRT_LINKER" Scripted.class scripted.prg >/dev/null || exit 1
"$MIRT_LINKER" Free.class Scripted.class free.prg >/dev/null || exit 1

# stimulus lines (\n between two) | status | the last line of the output matches
cases=(
    '0 GetAnalogInput 2 7\n200 GetEncoderPosition 12000 # a comment\n\n300 GetAnalogInput 2 -9|255|^ERROR'
    '0 Foo 1|1|^ERROR: in.txt:1: unknown drive function Foo$'
    '0 SetLED 1|1|^ERROR: in.txt:1: SetLED gives no value; only the Get functions do$'
    '0 GetMillis 5|1|^ERROR: in.txt:1: GetMillis is the emulated clock the times are given in$'
    '# first\n0 GetDigitalInput 2 1|1|^ERROR: in.txt:2: GetDigitalInput takes no channel$'
    '0 GetAnalogInput 1|1|^ERROR: in.txt:1: GetAnalogInput needs a channel before the value$'
    '0 GetAnalogInput 1 2 3|1|^ERROR: in.txt:1: expected <ms> GetAnalogInput <channel> <value>$'
    '0 GetAnalogInput x 3|1|^ERROR: in.txt:1: channel x is not a 32-bit integer$'
    '0 GetDigitalInput 2147483648|1|^ERROR: in.txt:1: value 2147483648 is not a 32-bit integer$'
    '0 GetDigitalInput -2147483648|0|^DRIVE: native_display_int: 1$'
    '10 GetDigitalInput 1\n5 GetDigitalInput 0|1|^ERROR: in.txt:2: time 5 is before the previous line.s 10$'
    '-1 GetDigitalInput 1|1|^ERROR: in.txt:1: time -1 is not a number of milliseconds$'
    '0 GetDigitalInput|1|^ERROR: in.txt:1: expected <ms> <Function> \[<channel>\] <value>$'
)
for row in "${cases[@]}"; do
    IFS='|' read -r lines status pattern <<<"$row"
    printf -- "${lines//%/%%}\n" >in.txt
    "$MIRT_EMULATOR" -q -inputs in.txt scripted.prg >out.txt
    got=$?
    [ "$got" = "$status" ] || fail "$lines: status $got, not $status"
    tail -n 1 out.txt | grep -Eq -- "$pattern" || fail "$lines: last line $(tail -n 1 out.txt)"
    if [ "$status" = 1 ] && grep -q DRIVE out.txt; then fail "$lines: it ran"; fi
done

# The inputs follow the script over GetMillis (100 ms a query); before its first line a
# function returns what it returns without one. The run ends by a fault, and the
# recordings are still written whole.
printf '0 GetAnalogInput 2 7\n200 GetEncoderPosition 12000\n300 GetAnalogInput 2 -9\n500 GetDigitalInput 0\n' >in.txt
: >want.txt
for t in 100 200 300 400 500; do
    analog=7 encoder=0 digital=1
    [ $t -ge 300 ] && analog=-9
    [ $t -ge 200 ] && encoder=12000
    [ $t -ge 500 ] && digital=0
    printf 'DRIVE: native_get_analog_input\nDRIVE: native_display_int: %s\nDRIVE: GetEncoderPosition() = %s\nDRIVE: native_display_int: %s\nDRIVE: native_get_dig_input\nDRIVE: native_display_int: %s\n' \
        $analog $encoder $encoder $digital >>want.txt
done
echo 'DRIVE: native_get_analog_input' >>want.txt
SOURCE_DATE_EPOCH=0 "$MIRT_EMULATOR" -q -inputs in.txt -vcd run.vcd -csv run.csv -svg run.svg scripted.prg >out.txt
got=$?
[ "$got" = 255 ] || fail "scripted run: status $got, not 255"
grep '^DRIVE' out.txt | diff want.txt - >/dev/null || fail "scripted run: $(grep '^DRIVE' out.txt | diff want.txt -)"
vcd2fst run.vcd run.fst >vcd2fst.txt 2>&1 && [ -s run.fst ] || fail "vcd2fst: $(cat vcd2fst.txt)"
grep -q '^	1970-01-01 00:00:00 UTC$' run.vcd || fail "vcd: \$date is not SOURCE_DATE_EPOCH's"
python3 - <<'PY' || fail "csv/svg: see above"
import csv, sys, xml.etree.ElementTree as ET
rows = list(csv.DictReader(open("run.csv", newline="")))
assert list(rows[0].keys()) == ["ms", "instructions", "function", "argument", "result"], rows[0]
calls = [(r["ms"], r["function"], r["argument"], r["result"]) for r in rows]
assert calls[:4] == [("100", "GetMillis", "", "100"), ("100", "GetAnalogInput", "2", "7"),
                     ("100", "SendInt", "7", ""), ("100", "GetEncoderPosition", "", "0")], calls[:4]
assert ("500", "GetDigitalInput", "", "0") in calls and calls[-1][1] == "GetAnalogInput", calls[-3:]
steps = [int(r["instructions"]) for r in rows]
assert steps == sorted(steps), "instruction counts go back"
ns = {"s": "http://www.w3.org/2000/svg"}
plots = ET.parse("run.svg").getroot().findall("s:g[@class='plot']", ns)
titles = sorted(p.find("s:title", ns).text for p in plots)
assert titles == sorted(["GetMillis", "GetAnalogInput_2", "SendInt", "GetEncoderPosition",
                         "GetDigitalInput"]), titles
assert all(p.find("s:polyline", ns) is not None for p in plots)
PY

# -clock-us: the clock moves with the instructions, so a program that never asks for the
# time sees its script change; -max-ms bounds that clock.
printf '0 GetDigitalInput 5\n10 GetDigitalInput 6\n' >in.txt
"$MIRT_EMULATOR" -q -clock-us 1000 -max-ms 20 -inputs in.txt free.prg >out.txt
got=$?
[ "$got" = 2 ] || fail "clock: status $got, not 2"
tail -n 1 out.txt | grep -Eq '^STOP: -max-ms 20 passed: 21 instructions, emulated time 21 ms, at Free.main@[0-9]+$' ||
    fail "clock: last line $(tail -n 1 out.txt)"
[ "$(grep -c 'display_int: 5' out.txt)" -gt 0 ] && [ "$(grep -c 'display_int: 6' out.txt)" -gt 0 ] &&
    ! grep -q 'display_int: 1$' out.txt || fail "clock: the input did not follow its script: $(grep display out.txt | uniq -c)"

# A signal ends the run with the recordings whole.
"$MIRT_EMULATOR" -q -clock-us 1 -inputs in.txt -vcd term.vcd free.prg >/dev/null &
emulator=$!
sleep 0.3
kill -TERM $emulator
wait $emulator
got=$?
[ "$got" = 143 ] || fail "SIGTERM: status $got, not 143"
vcd2fst term.vcd term.fst >vcd2fst.txt 2>&1 || fail "SIGTERM vcd2fst: $(cat vcd2fst.txt)"

# A recording never replaces an input, a directory or another recording, and is not written
# when the run is refused.
mkdir -p dir
cp scripted.prg kept.prg
for options in "-vcd dir" "-csv scripted.prg" "-vcd a.out -svg a.out" "-svg in.txt -inputs in.txt" "-vcd b.out -clock-us 0"; do
    # shellcheck disable=SC2086 # the options are words
    "$MIRT_EMULATOR" $options scripted.prg >out.txt
    got=$?
    [ "$got" = 1 ] || fail "$options: status $got, not 1"
    [ ! -e a.out ] && [ ! -e b.out ] && [ -d dir ] && cmp -s scripted.prg kept.prg ||
        fail "$options: a file changed"
done
cmp -s in.txt <(printf '0 GetDigitalInput 5\n10 GetDigitalInput 6\n') || fail "the stimulus file changed"
ls ./*.prg.* ./*.out.* dir/* 2>/dev/null | grep -q . && fail "temporary files were left"

# The control-loop example with its stimulus: the dump loads, and the picture is the one the
# README shows.
example=$root/examples/control_loop
javac --release 17 -g -d . "$example"/*.java && "$MIRT_LINKER" Controller.class Regulator.class loop.prg >/dev/null || exit 1
"$MIRT_EMULATOR" -q -max-ms 5000 -inputs "$example/Controller.inputs" -vcd loop.vcd -svg loop.svg loop.prg >/dev/null
got=$?
[ "$got" = 2 ] || fail "example: status $got, not 2"
vcd2fst loop.vcd loop.fst >vcd2fst.txt 2>&1 || fail "example vcd2fst: $(cat vcd2fst.txt)"
cmp -s loop.svg "$example/Controller.svg" || fail "example: the picture differs from examples/control_loop/Controller.svg"

[ "$failures" = 0 ] && echo "all cases passed"
exit $((failures > 0))
