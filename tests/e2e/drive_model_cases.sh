#!/usr/bin/env bash
# The axis model behind -drive: the positioning example against its expected lines, a
# program of every kind of model call (complete output), refused descriptions and stimulus
# lines, the model's state in the recordings (the dump through vcd2fst), data sets that
# persist across runs, mirt_check -drive, and the same program without -drive untouched.
set -u
: "${MIRT_LINKER:?}" "${MIRT_EMULATOR:?}" "${MIRT_CHECK:?}" "${MIRT_JAVA_DIR:?}" "${MIRT_WORK_DIR:?}"
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$MIRT_WORK_DIR/drive_model
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

javac --release 17 -d . "$MIRT_JAVA_DIR/programs/Axis.java" "$root/examples/positioning/Positioning.java" || exit 1
"$MIRT_LINKER" Axis.class axis.prg >/dev/null || exit 1
"$MIRT_LINKER" Positioning.class positioning.prg >/dev/null || exit 1

# The example homes, moves through three positions and ends; its lines as expected.
"$MIRT_EMULATOR" -q -drive "$root/examples/positioning/positioning.yaml" \
    -expect "$root/examples/positioning/Positioning.expect" positioning.prg >out.txt
got=$?
[ "$got" = 0 ] || fail "positioning: status $got: $(tail -n 2 out.txt)"

# Every kind of call, complete output, with and without -q alike in its DRIVE lines.
printf 'lag_ms: 0\nstandstill_current_ma: 250\n' >d.yaml
{
    printf 'DRIVE: native_set_speed: 1000\nDRIVE: SaveDataSet(1)\nDRIVE: native_set_speed: 300\n'
    printf 'DRIVE: LoadDataSet(1)\nDRIVE: GetMaxSpeed() = 1000\nDRIVE: native_display_int: 1000\n'
    printf 'DRIVE: SetAcceleration(1000)\nDRIVE: native_start_drive\nDRIVE: SetTargetPos(4294968796)\n'
    # 1500 counts at 1000 counts/s and 1000 counts/s^2: 2.5 s, 25 queries of 100 ms
    for _ in $(seq 25); do echo 'DRIVE: GetStatus() = 3'; done
    printf 'DRIVE: GetStatus() = 5\nDRIVE: GetEncoderPosition() = 1500\nDRIVE: native_display_int: 1500\n'
    printf 'DRIVE: GetCurrent() = 250\nDRIVE: native_display_int: 250\n'
    printf 'DRIVE: native_set_dig_output: 6\nDRIVE: native_get_dig_output\nDRIVE: native_display_int: 6\n'
    printf 'DRIVE: native_get_analog_input\nDRIVE: native_display_int: 7\n'
} >want.txt
printf '0 GetAnalogInput 1 7\n' >in.txt
"$MIRT_EMULATOR" -q -drive d.yaml -inputs in.txt axis.prg >out.txt
got=$?
[ "$got" = 0 ] || fail "axis: status $got"
diff want.txt out.txt >/dev/null || fail "axis -q: $(diff want.txt out.txt | head -5)"
"$MIRT_EMULATOR" -drive d.yaml -inputs in.txt axis.prg >loud.txt
grep '^DRIVE' loud.txt | diff want.txt - >/dev/null || fail "axis: DRIVE lines differ without -q"

# Without -drive the same program takes the default row, as it always did, and waits for
# "target reached" for ever.
"$MIRT_EMULATOR" -q -max-ms 500 axis.prg >plain.txt # polls for ever
grep -q '^DRIVE: StartDrive() not emulated$' plain.txt || fail "without -drive: $(head -n 3 plain.txt)"
grep -q 'GetStatus() = \|native_start_drive' plain.txt && fail "without -drive the model answered"

# description | status | the last line of the output matches
cases=(
    'max_speed: 10\nspeed: 3|1|^ERROR: d.yaml:2: unknown key .speed.$'
    'lag_ms: slow|1|^ERROR: d.yaml:1: lag_ms: expected an integer, not .slow.$'
    'position_window: -1|1|^ERROR: d.yaml:1: position_window: -1 is outside 0 to 2147483647$'
    'events:\n  - {at_ms: 1, load_ma: 5, block: true}|1|^ERROR: d.yaml:2: an event has exactly one of'
    'max_speed: [|1|^ERROR: d.yaml:'
    '# every default|0|^DRIVE: native_display_int: 1$'
)
for row in "${cases[@]}"; do
    IFS='|' read -r lines status pattern <<<"$row"
    printf -- "$lines\n" >d.yaml
    "$MIRT_EMULATOR" -q -drive d.yaml axis.prg >out.txt
    got=$?
    [ "$got" = "$status" ] || fail "$lines: status $got, not $status"
    tail -n 1 out.txt | grep -Eq -- "$pattern" || fail "$lines: last line $(tail -n 1 out.txt)"
    if [ "$status" = 1 ] && grep -q DRIVE out.txt; then fail "$lines: it ran"; fi
done

# A stimulus may not script what the model gives; the analogue inputs stay scriptable.
printf 'lag_ms: 0\n' >d.yaml
for function in GetEncoderPosition GetStatus GetDigitalOutput GetMaxSpeed; do
    printf '# model\n0 %s 5\n' $function >in.txt
    "$MIRT_EMULATOR" -q -drive d.yaml -inputs in.txt axis.prg >out.txt
    got=$?
    [ "$got" = 1 ] || fail "stimulus $function: status $got"
    grep -q "^ERROR: in.txt:2: $function is given by the drive model (-drive)$" out.txt ||
        fail "stimulus $function: $(tail -n 1 out.txt)"
done

# The model's state sampled into the recordings; the dump read by vcd2fst.
printf 'lag_ms: 10\nsample_ms: 50\n' >d.yaml
"$MIRT_EMULATOR" -q -drive d.yaml -vcd run.vcd -csv run.csv -svg run.svg axis.prg >/dev/null ||
    fail "recorded run failed"
vcd2fst run.vcd run.fst >vcd2fst.txt 2>&1 && [ -s run.fst ] || fail "vcd2fst: $(cat vcd2fst.txt)"
for signal in axis_demand axis_actual axis_speed axis_current axis_status; do
    grep -q "\$var integer 32 .* $signal \$end" run.vcd || fail "vcd: no $signal"
done
python3 - <<'PY' || fail "csv: see above"
import csv
rows = list(csv.DictReader(open("run.csv", newline="")))
demand = [(int(r["ms"]), int(r["result"])) for r in rows if r["function"] == "axis_demand"]
assert demand[0] == (0, 0) and demand[-1] == (2500, 1500), demand[-3:]
times = [t for t, _ in demand]
assert times == sorted(times), times
# sampled every 50 ms while the demand changes (and at calls)
assert all(b - a <= 50 for a, b in zip(times[1:-1], times[2:-1])), times
PY

# Data sets persist in their file across runs; a file that cannot be written is reported.
printf 'lag_ms: 0\ndata_sets: sets.txt\n' >d.yaml
"$MIRT_EMULATOR" -q -drive d.yaml axis.prg >/dev/null
grep -q '^1 0 1000 ' sets.txt || fail "data sets: $(cat sets.txt)"
printf '1 0 700 1000 0 1 0 3000 1\n' >sets.txt
"$MIRT_EMULATOR" -q -drive d.yaml axis.prg >out.txt
# LoadDataSet(1) restores what the file holds; SaveDataSet(1) before it wrote 1000 again.
grep -q '^DRIVE: GetMaxSpeed() = 1000$' out.txt || fail "data sets: $(grep GetMaxSpeed out.txt)"
printf 'data_sets: nowhere/sets.txt\n' >d.yaml
"$MIRT_EMULATOR" -q -drive d.yaml axis.prg >out.txt
grep -q '^WARNING: SaveDataSet(1): ' out.txt || fail "unwritable data sets: no warning"
printf 'data_sets: bad.txt\n' >d.yaml
printf '1 2\n' >bad.txt
"$MIRT_EMULATOR" -q -drive d.yaml axis.prg >out.txt
[ $? = 1 ] && grep -q '^ERROR: bad.txt:1: not a data set line$' out.txt || fail "bad data sets: $(tail -n 1 out.txt)"

# mirt_check -drive: the declarations against what the model reads.
printf 'lag_ms: 0\n' >d.yaml
"$MIRT_CHECK" -drive d.yaml axis.prg >check.txt
for warning in \
    'SetTargetPos: warning: drive function SetTargetPos is declared (J)V, but the drive model reads it as (I)V: the model reads the low 32 bits of the long' \
    'GetDirection: warning: drive function GetDirection is declared ()S, but the drive model reads it as ()I: the int is not narrowed to the declared short' \
    'GetMode: warning: drive function GetMode is declared ()Ljava/lang/Object;, but the drive model reads it as ()I: the program gets null, not the value the model gives' \
    'GetDemandPosition: warning: drive function GetDemandPosition is declared ()F, but the drive model reads it as ()I: a float holds the value exactly only up to 2^24'; do
    grep -qxF "Axis.$warning" check.txt || fail "check -drive: no $warning"
done
grep -q 'not emulated' check.txt && fail "check -drive still says not emulated"
"$MIRT_CHECK" axis.prg | grep -q 'StartDrive (id 52) is not emulated' || fail "check without -drive"
printf 'foo: 1\n' >d.yaml
"$MIRT_CHECK" -drive d.yaml axis.prg >check.txt
[ $? = 2 ] && grep -q "^d.yaml:1: unknown key 'foo'$" check.txt || fail "check -drive bad: $(cat check.txt)"

[ $failures = 0 ] && echo "all drive model cases passed"
exit $((failures > 0))
