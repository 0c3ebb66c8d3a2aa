#!/usr/bin/env bash
# mirt_test end to end: the report of a passing and a failing scenario file line by line,
# its JUnit XML read by junitparser, its TAP by prove, its coverage by lcov and genhtml,
# the slices of --shard, -j, and the unusable scenario files it refuses with file and line.
set -u
: "${MIRT_TEST:?}" "${MIRT_WORK_DIR:?}"
root=$(cd "$(dirname "$0")/../.." && pwd)
scenarios=$root/tests/suite
work=$MIRT_WORK_DIR/suite
rm -rf "$work" && mkdir -p "$work/rec" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The wall time of a case varies; everything else is fixed.
steady() { sed -E 's/  [0-9]+\.[0-9]+ s$/  T s/'; }

# One run per scenario file: the exact report and the exit status.
check_report() { # file status expected-report
    "$MIRT_TEST" -j 2 --recordings rec "$scenarios/$1" >out.txt
    local got=$?
    [ "$got" = "$2" ] || fail "$1: status $got, not $2"
    steady <out.txt | diff -u <(printf '%s\n' "$3") - || fail "$1: report differs"
}

check_report pass.yaml 0 "PASS  set point step  3100 ms  T s
PASS  by steps  600 ms  T s
2 passed, 0 failed"

check_report fail.yaml 1 'FAIL  wrong demand  3100 ms  T s
      expect: at 3100 ms: expected line 2 "DRIVE: native_set_led: 7" was not printed after output line 3
      {signal: SendInt, at: 1000, equals: 900}: at 1000 ms: SendInt was 250 (since 1000 ms), not 900 (Controller.java:18)
      {signal: GetAnalogInput_1, at: 2000, within: [0, 3]}: at 2000 ms: GetAnalogInput_1 was 5 (since 2000 ms), not [0, 3] (Controller.java:17)
      {signal: SendInt, by: 1000, reaches: 0}: at 1000 ms: SendInt was 250, it did not reach 0 (Controller.java:18)
      {signal: SendInt, always: [0, 200]}: at 100 ms: SendInt was 250, outside [0, 200] (Controller.java:18)
      {signal: SetLED, never: 1}: at 100 ms: SetLED was 1, inside 1 (Controller.java:21)
      {signal: SetLED, count: 1, by: 1000}: at 1000 ms: SetLED was called 2 times, not 1 (Controller.java:21)
      {signal: SetLED, at: 50, equals: 1}: at 50 ms: SetLED was not called by 50 ms
      {order: [{signal: SetLED, equals: 0}, {signal: SetLED, equals: 5}]}: at 3100 ms: step 2 (SetLED = 5) did not follow step 1 (at 600 ms) (Controller.java:21)
      {status: returned}: at 3100 ms: the run ended bound, not returned
      recordings: rec/fail.wrong_demand.vcd rec/fail.wrong_demand.svg
PASS  holds  300 ms  T s
1 passed, 1 failed'

check_report status.yaml 1 'PASS  fault asserted  0 ms  T s
FAIL  fault unasserted  0 ms  T s
      the run: at 0 ms: ended fault (Average.java:7)
      recordings: rec/status.fault_unasserted.vcd rec/status.fault_unasserted.svg
FAIL  fault is an error line  0 ms  T s
      {no_error: true}: at 0 ms: the run printed "ERROR: division by zero at code offset 2" (Average.java:7)
      recordings: rec/status.fault_is_an_error_line.vcd rec/status.fault_is_an_error_line.svg
PASS  not bound  0 ms  T s
2 passed, 2 failed'

check_report returns.yaml 0 "PASS  returns  0 ms  T s
1 passed, 0 failed"

# The recordings of failing cases are kept, and only theirs.
[ "$(cd rec && ls | tr '\n' ' ')" = "fail.wrong_demand.svg fail.wrong_demand.vcd status.fault_is_an_error_line.svg status.fault_is_an_error_line.vcd status.fault_unasserted.svg status.fault_unasserted.vcd " ] ||
    fail "recordings: $(ls rec)"
grep -q '^\$var integer 32 . SendInt \$end$' rec/fail.wrong_demand.vcd || fail "the kept VCD has no SendInt"

# The positioning example's suites on the axis model: the model's state as signals.
check_report ../../examples/positioning/Positioning.test.yaml 0 "PASS  three positions  7300 ms  T s
PASS  homes at the switch  7300 ms  T s
PASS  stays within the software limits  7300 ms  T s
3 passed, 0 failed"
check_report ../../examples/positioning/Positioning.too_fast.test.yaml 1 "FAIL  first position by 3 s  7300 ms  T s
      {signal: axis_demand, by: 3000, reaches: 5000}: at 3000 ms: axis_demand was 4950, it did not reach 5000
      {signal: SendInt, at: 3000, equals: 4996}: at 3000 ms: SendInt was not called by 3000 ms
      recordings: rec/Positioning_too_fast_test.first_position_by_3_s.vcd rec/Positioning_too_fast_test.first_position_by_3_s.svg
0 passed, 1 failed"

# JUnit XML as a CI system's reader sees it; the same report with -j 1 and -j 2.
"$MIRT_TEST" -j 1 --junit junit1.xml "$scenarios"/{fail,status}.yaml >/dev/null
"$MIRT_TEST" -j 2 --junit junit.xml "$scenarios"/{fail,status}.yaml >/dev/null
[ $? = 1 ] || fail "junit: status"
diff <(sed -E 's/time="[0-9.]+"//g' junit1.xml) <(sed -E 's/time="[0-9.]+"//g' junit.xml) >/dev/null ||
    fail "-j 1 and -j 2 give different reports"
/usr/bin/python3 - junit.xml >junit.txt <<'PY' || fail "junitparser could not read the report"
import sys
from junitparser import JUnitXml, Failure
xml = JUnitXml.fromfile(sys.argv[1])
print(xml.tests, xml.failures)
for suite in xml:
    for case in suite:
        failed = [r for r in case.result if isinstance(r, Failure)]
        drive = (case.system_out or "").count("DRIVE: ")
        print(case.classname, "|", case.name, "|", float(case.time) >= 0, "|",
              failed[0].message if failed else "ok", "|", drive > 0)
PY
diff -u - junit.txt <<'EOF2' || fail "junit content"
6 3
fail | wrong demand | True | expect: at 3100 ms: expected line 2 "DRIVE: native_set_led: 7" was not printed after output line 3 | True
fail | holds | True | ok | True
status | fault asserted | True | ok | True
status | fault unasserted | True | the run: at 0 ms: ended fault (Average.java:7) | True
status | fault is an error line | True | {no_error: true}: at 0 ms: the run printed "ERROR: division by zero at code offset 2" (Average.java:7) | True
status | not bound | True | ok | False
EOF2

# TAP as prove reads it: without complaint, and failing where a case fails.
for row in "pass.yaml|0|All tests successful." "fail.yaml|1|Failed 1/2 subtests"; do
    IFS='|' read -r file status line <<<"$row"
    "$MIRT_TEST" --tap "$scenarios/$file" >"$file.tap"
    prove -e cat "$file.tap" >prove.txt 2>&1
    got=$?
    [ "$got" = "$status" ] || fail "prove $file: status $got"
    grep -qF "$line" prove.txt || fail "prove $file: $(cat prove.txt)"
    grep -q 'Parse errors\|unknown\|Bad plan' prove.txt && fail "prove $file complains: $(cat prove.txt)"
done
grep -qx '      source: "Controller.java:18"' fail.yaml.tap || fail "TAP diagnostics without the source line"

# Coverage: Regulator's lower limit is never reached, so one outcome of its branch stays 0.
"$MIRT_TEST" --coverage cov.info "$scenarios/pass.yaml" >/dev/null || fail "coverage run"
grep -qx 'BRDA:10,23,1,0' cov.info || fail "the unreached branch: $(grep BRDA cov.info)"
lcov --summary cov.info --rc lcov_branch_coverage=1 2>&1 | grep -E '^  (lines|functions|branches)' >summary.txt
diff -u - summary.txt <<'EOF2' || fail "lcov summary"
  lines......: 88.9% (16 of 18 lines)
  functions..: 50.0% (2 of 4 functions)
  branches...: 83.3% (5 of 6 branches)
EOF2
genhtml -q --branch-coverage -o html cov.info >genhtml.txt 2>&1 || fail "genhtml: $(cat genhtml.txt)"
[ -s genhtml.txt ] && fail "genhtml complains: $(cat genhtml.txt)"
grep -q 'Regulator.java' html/index.html html/*/index.html 2>/dev/null || fail "genhtml: no page for Regulator.java"

# Shards: together they run every case once.
for k in 1 2 3; do "$MIRT_TEST" --shard "$k/3" "$scenarios"/{fail,status}.yaml; done | grep -E '^(PASS|FAIL)' |
    sed -E 's/  [0-9]+ ms .*//' | sort >shards.txt
"$MIRT_TEST" "$scenarios"/{fail,status}.yaml | grep -E '^(PASS|FAIL)' | sed -E 's/  [0-9]+ ms .*//' | sort |
    diff - shards.txt >/dev/null || fail "shards: $(cat shards.txt)"
"$MIRT_TEST" --filter 'fault*' "$scenarios/status.yaml" | grep -c '^PASS\|^FAIL' | grep -qx 3 || fail "--filter"

# Unusable scenario files: status 2 and the file and line, before anything runs.
printf 'program: [%s]\ncases:\n  - {name: a, max_steps: 5' "$root/examples/fault/Average.java" >syntax.yaml
printf 'program: [%s]\ncases:\n  - name: a\n    max_step: 5\n' "$root/examples/fault/Average.java" >key.yaml
printf 'program: [Missing.java]\ncases:\n  - name: a\n' >missing.yaml
printf 'program: [%s]\ncases:\n  - name: a\n    inputs:\n      - "0 GetAnalogInput 1 2"\n      - "5 SetLED 1"\n' \
    "$root/examples/fault/Average.java" >stimulus.yaml
printf 'program: [%s]\ncases:\n  - name: a\n    assert: [{signal: SendIntt, count: 1}]\n' \
    "$root/examples/fault/Average.java" >signal.yaml
printf 'program: [%s]\noptions: [-clock-us, "0"]\ncases:\n  - name: a\n' \
    "$root/examples/fault/Average.java" >options.yaml
printf 'public class Broken { void x() { y } }\n' >Broken.java
printf 'program: [Broken.java]\ncases:\n  - name: a\n' >broken.yaml
rows=(
    "syntax.yaml|syntax.yaml:3: end of map flow not found"
    "key.yaml|key.yaml:4: unknown key \"max_step\" in a case"
    "missing.yaml|missing.yaml:1: program: Missing.java cannot be read"
    "stimulus.yaml|stimulus.yaml:6: bad stimulus line \"5 SetLED 1\": SetLED gives no value; only the Get functions do"
    "signal.yaml|signal.yaml:4: unknown signal \"SendIntt\""
    "options.yaml|options.yaml:4: the emulator refused case \"a\" (status 1):"
    "broken.yaml|broken.yaml:1: the program cannot be compiled"
)
for row in "${rows[@]}"; do
    IFS='|' read -r file line <<<"$row"
    "$MIRT_TEST" "$file" >out.txt
    got=$?
    [ "$got" = 2 ] || fail "$file: status $got, not 2"
    [ "$(head -n 1 out.txt)" = "$line" ] || fail "$file: $(head -n 1 out.txt)"
done

[ $failures -eq 0 ] && echo "all mirt_test cases passed"
exit $((failures > 0))
