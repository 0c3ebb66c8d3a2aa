#!/usr/bin/env bash
# What the three programs say on standard error when they refuse a command line or a file, and
# the linker's warning for a class that cannot be found by name. One row per case: program,
# arguments, status, the first line on standard error. A refused command line still prints
# the usage text as the last line on standard output, and its reason is followed by the
# pointer to --help.
set -u
: "${MIRT_LINKER:?}" "${MIRT_EMULATOR:?}" "${MIRT_CHECK:?}" "${MIRT_JAVA_DIR:?}" "${MIRT_WORK_DIR:?}"
work=$MIRT_WORK_DIR/usage
rm -rf "$work" && mkdir -p "$work/cls" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

javac --release 17 -d cls "$MIRT_JAVA_DIR"/programs/{TwoClasses,Util}.java \
    "$MIRT_JAVA_DIR/drive/vm/Drive.java" || exit 1
(cd cls && "$MIRT_LINKER" TwoClasses.class Util.class Drive.class ../two.prg >/dev/null) || exit 1
cp "$MIRT_JAVA_DIR/programs/Util.java" .
mkdir folder

emulator_usage=$'\tmirt_emulator.exe [-debug] input.prg'
linker_usage=$'\tmirt_linker.exe [-debug] [-OS] input.class output.prg'
check_usage=$'\tmirt_check [-v] [-map FILE] input.prg'

# program | arguments | status | first line on standard error
cases=(
    "emulator||1|mirt_emulator: no package given"
    "emulator|-bogus two.prg|1|mirt_emulator: unknown option -bogus"
    "emulator|-max-ms -5 two.prg|1|mirt_emulator: -max-ms needs a whole number of milliseconds, got \"-5\""
    "emulator|-max-ms two.prg|1|mirt_emulator: -max-ms needs a whole number of milliseconds, got none"
    "emulator|-max-steps 0 two.prg|1|mirt_emulator: -max-steps needs a whole number of instructions above 0, got \"0\""
    "emulator|-clock-us 0 two.prg|1|mirt_emulator: -clock-us needs a whole number of microseconds above 0, got \"0\""
    "emulator|-max-ms 1e3 two.prg|1|mirt_emulator: -max-ms needs a whole number of milliseconds, got \"1e3\""
    "emulator|two.prg -q|1|mirt_emulator: -q comes after the package two.prg; options come before it"
    "emulator|-q -q two.prg|1|mirt_emulator: -q is given twice"
    "emulator|-map a.map -map b.map two.prg|1|mirt_emulator: -map is given twice"
    "emulator|two.prg two.prg|1|mirt_emulator: one package at a time: two.prg and two.prg"
    "emulator|-q|1|mirt_emulator: no package given after -q"
    "emulator|-q -debug|1|mirt_emulator: the last argument must be the package, not -debug"
    "emulator|-q missing.prg|255|mirt_emulator: missing.prg: No such file or directory"
    "emulator|folder|255|mirt_emulator: folder: a directory"
    "emulator|-q Util.java|255|mirt_emulator: Util.java: not a package (the linker makes one)"
    "linker|Util.class|1|mirt_linker: needs a class file and the output package"
    "linker|-bogus cls/Util.class out.prg|1|mirt_linker: unknown option -bogus"
    "linker|cls/Util.class -map|1|mirt_linker: -map needs a file name for the map, got none"
    "linker|cls/Util.class -map out.prg|1|mirt_linker: -map needs a file name for the map, got none"
    "linker|-map a.map -map b.map cls/Util.class out.prg|1|mirt_linker: -map is given twice"
    "linker|Util.java out.prg|1|mirt_linker: Util.java: not a class file (javac makes one from a .java file)"
    "linker|Missing.class out.prg|1|mirt_linker: Missing.class: No such file or directory"
    "linker|folder out.prg|1|mirt_linker: folder: a directory"
    "linker|cls/TwoClasses.class cls/Util.class cls/Drive.class out.prg|0|mirt_linker: warning: cls/TwoClasses.class is recorded as \"cls/TwoClasses\", not as its class TwoClasses, so calls into it from other classes are not found; link from the classes' folder, naming it TwoClasses.class"
    "check||2|mirt_check: no package given"
    "check|-bogus two.prg|2|mirt_check: unknown option -bogus"
    "check|-v -v two.prg|2|mirt_check: -v is given twice"
    "check|-map two.prg|2|mirt_check: -map needs the linker's map file, got none"
    "check|two.prg -v|2|mirt_check: -v comes after the package two.prg; options come before it"
    "check|missing.prg|2|mirt_check: missing.prg: No such file or directory"
)
for row in "${cases[@]}"; do
    IFS='|' read -r program arguments status reason <<<"$row"
    case $program in
    emulator) binary=$MIRT_EMULATOR usage=$emulator_usage ;;
    linker) binary=$MIRT_LINKER usage=$linker_usage ;;
    check) binary=$MIRT_CHECK usage=$check_usage ;;
    esac
    # shellcheck disable=SC2086 # the arguments are words
    "$binary" $arguments >out.txt 2>err.txt
    got=$?
    [ "$got" = "$status" ] || fail "$program $arguments: status $got, not $status"
    [ "$(head -n 1 err.txt)" = "$reason" ] || fail "$program $arguments: standard error $(cat err.txt)"
    case $reason in
    *"needs "* | *unknown* | *twice | *" after "* | *"come before"* | *"one package"* | *"last argument"*)
        [ "$(tail -n 1 out.txt)" = "$usage" ] || fail "$program $arguments: last line $(tail -n 1 out.txt)"
        [ "$(sed -n 2p err.txt)" = "mirt_$program: see mirt_$program --help" ] ||
            fail "$program $arguments: no pointer to --help"
        ;;
    esac
done

# --help: one line per option after the usage line, for every option each program reads.
for program in emulator linker check; do
    "$(dirname "$MIRT_EMULATOR")/mirt_$program" --help >help.txt || fail "$program --help: status $?"
    for option in $(grep -oE '^	-[A-Za-z-]+' help.txt); do
        [ "$(grep -c -- "^	$option " help.txt)" = 1 ] || fail "$program --help: $option not once"
    done
done
[ "$(grep -c '^	-' help.txt)" = 3 ] || fail "mirt_check --help: not -v, -map and -drive"
"$MIRT_EMULATOR" --help | grep -q '^	-clock-us U   ' || fail "mirt_emulator --help: no -clock-us line"
"$MIRT_LINKER" --help | grep -q 'several are linked' || fail "mirt_linker --help: nothing on several class files"

echo "$((${#cases[@]} + 3 - failures)) passed, $failures failed"
[ "$failures" = 0 ]
