#!/usr/bin/env bash
# A JDI client making the calls IDEs make on attach and when stopped (tests/java/jdi), run
# against the emulator and against HotSpot over the same Java programs: the transcripts must
# agree but for the lines the client marks as allowed to differ ("~"), the sessions end with
# the VM's death, never a hang or a lost connection, and the fault's exception carries the
# message the emulator prints.
set -u
: "${MIRT_WORK_DIR:?}"
# shellcheck source=debuggee.sh
. "$(dirname "$0")/debuggee.sh"
java --list-modules 2>/dev/null | grep -q '^jdk.jdi@' || { echo "no JDI: skipped"; exit 0; }
work=$MIRT_WORK_DIR/jdi
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

build_debuggees || exit 1
javac -nowarn -d ide "$MIRT_JAVA_DIR/jdi/IdeSession.java" || exit 1

# name | main | the class to stop in | its line (0: none) | the emulator's status
cases=(
    "controller|Controller|Regulator|4|0"
    "fault|TwoDeep|TwoDeep|0|255"
)
for row in "${cases[@]}"; do
    IFS='|' read -r name main class line status <<<"$row"
    for kind in hotspot emulator; do
        start_debuggee "$kind" "$main"
        timeout 60 java -cp ide IdeSession "$port" "$class" "$line" >"$name.$kind.txt" 2>&1
        wait "$debuggee_pid"
        echo $? >"$name.$kind.status"
        cp program.out "$name.$kind.program.out"
        grep -v '^~ ' "$name.$kind.txt" >"$name.$kind.agreed"
    done
    diff -u "$name.hotspot.agreed" "$name.emulator.agreed" ||
        fail "$name: the emulator answers other than HotSpot"
    [ "$(tail -n 1 "$name.emulator.txt")" = disconnected ] || fail "$name: the session did not end"
    [ "$(cat "$name.emulator.status")" = "$status" ] ||
        fail "$name: status $(cat "$name.emulator.status"), not $status"
done
# The exception's message is the emulator's line for the fault.
message=$(sed -n 's/^~ message: //p' fault.emulator.txt)
if [ -z "$message" ] || ! grep -qxF "$message" fault.emulator.program.out; then
    fail "the exception's message \"$message\" is not the emulator's"
fi

echo "$failures failures"
[ "$failures" -eq 0 ]
