#!/usr/bin/env bash
# jdb attached to the emulator (-jdwp): the sessions a user types, driven through jdb's
# standard input, over a control loop and over a faulting program. jdb's output is compared
# with golden files made from the same sessions against the same Java programs on HotSpot
# (JDB_GOLDEN_FROM_HOTSPOT=1 writes them anew from HotSpot); prompts, which jdb prints as
# its threads happen to run, and the JVM's frames below the program's main are left out.
# Then jdb attached to a case mirt_test debugs. Every wait is bounded: a session that hangs
# fails, it does not stop the test run.
set -u
: "${MIRT_WORK_DIR:?}"
# shellcheck source=debuggee.sh
. "$(dirname "$0")/debuggee.sh"
command -v jdb >/dev/null || { echo "jdb not found: skipped"; exit 0; }
work=$MIRT_WORK_DIR/jdb
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

build_debuggees || exit 1

# Waits until jdb has printed a prompt and nothing more for a moment, or has ended.
settle() {
    local last=-1 size
    for _ in $(seq 100); do
        size=$(stat -c %s jdb.out)
        if [ "$size" = "$last" ]; then
            kill -0 "$jdb_pid" 2>/dev/null || return 0
            tail -c 9 jdb.out | grep -qE '(main\[1\]|>) $' && return 0
        fi
        last=$size
        sleep 0.15
    done
}

# session debuggee-kind main "command;command..." -> jdb.out (normalized: session.out),
# the debuggee's output in program.out and its status in program.status
session() {
    local kind=$1 main=$2 commands=$3
    rm -f fifo && mkfifo fifo
    start_debuggee "$kind" "$main"
    timeout 60 jdb -attach "localhost:$port" <fifo >jdb.out 2>&1 &
    jdb_pid=$!
    exec 3>fifo
    # jdb prints its first prompt before the VM's start event arrives; a command sent in
    # between would have its answer printed amid the event's lines.
    for _ in $(seq 100); do
        grep -q '^VM Started:' jdb.out && break
        kill -0 "$jdb_pid" 2>/dev/null || break
        sleep 0.1
    done
    settle
    IFS=';' read -ra lines <<<"$commands"
    for line in "${lines[@]}"; do
        echo "$line" >&3
        settle
    done
    exec 3>&-
    wait "$jdb_pid"
    wait "$debuggee_pid"
    echo $? >program.status
    sed -E 's/(main\[1\] ?|> )//g' jdb.out | grep -v '^ *$' |
        grep -vE '^  \[[0-9]+\] (jdk\.internal|java\.lang\.reflect|JvmMain)' >session.out
}

stop_step_set='stop in Regulator.step;run;where;locals;step;step;next;locals;print error;set output = 7;locals;step up;where;locals;clear Regulator.step;stop at Controller:9;cont;locals;next;next;cont'
# name | main | commands | the emulator's status | its last line of output
cases=(
    "controller|Controller|$stop_step_set|0|DRIVE: native_display_long: 167"
    "fault|TwoDeep|run;where;locals|255|  at TwoDeep.main(TwoDeep.java:16), code offset 12"
)
for row in "${cases[@]}"; do
    IFS='|' read -r name main commands status last <<<"$row"
    golden=$MIRT_JAVA_DIR/golden/jdb_$name.out
    if [ "${JDB_GOLDEN_FROM_HOTSPOT:-}" = 1 ]; then
        session hotspot "$main" "$commands"
        cp session.out "$golden"
    fi
    session emulator "$main" "$commands"
    cp jdb.out "$name.jdb.out" && cp program.out "$name.program.out"
    diff -u "$golden" session.out >"$name.diff" || fail "$name: jdb shows other than on HotSpot: $(cat "$name.diff")"
    [ "$(cat program.status)" = "$status" ] || fail "$name: status $(cat program.status), not $status"
    [ "$(tail -n 1 program.out)" = "$last" ] || fail "$name: the program's output ends $(tail -n 1 program.out)"
done

# A case mirt_test starts under the debugger: jdb sees its fault, and mirt_test judges the
# case as without a debugger.
if [ -n "${MIRT_TEST:-}" ]; then
    session mirt_test "fault asserted" "run;where;locals"
    cp jdb.out mirt_test.jdb.out && cp program.out mirt_test.program.out
    for line in 'Exception occurred: java.lang.ArithmeticException (uncaught)"thread=main", Average.mean(), line=7 bci=2' \
        '  [3] Average.main (Average.java:16)' 'count = 0'; do
        grep -qxF "$line" session.out || fail "mirt_test --jdwp: jdb does not show: $line"
    done
    [ "$(cat program.status)" = 0 ] || fail "mirt_test --jdwp: status $(cat program.status)"
    grep -q '^PASS  fault asserted' program.out || fail "mirt_test --jdwp: $(cat program.out)"
    "$MIRT_TEST" --jdwp 0 "$suite_dir/status.yaml" >several.out
    several=$?
    if [ $several != 2 ] ||
        [ "$(cat several.out)" != "mirt_test: --jdwp debugs one case; select it with --filter" ]; then
        fail "mirt_test --jdwp over four cases: status $several, $(cat several.out)"
    fi
fi

# Without a debugger that speaks JDWP: a bad handshake is refused and the next debugger may
# come; a signal ends the waiting emulator as it ends a run (143), also while a handshake is
# only half there.
for handshake in "GET / HTTP/1.0" "JDWP"; do
    "$MIRT_EMULATOR" -q -jdwp 0 -map controller.map controller.prg >bad.out 2>bad.err &
    pid=$!
    for _ in $(seq 50); do port=$(sed -n 's/^Listening.*address: //p' bad.err); [ -n "$port" ] && break; sleep 0.1; done
    (printf '%s' "$handshake"; sleep 3) | timeout 5 bash -c "cat >/dev/tcp/127.0.0.1/$port" 2>/dev/null &
    sleep 0.5
    kill -0 $pid 2>/dev/null || fail "handshake $handshake ended the emulator"
    kill $pid 2>/dev/null
    for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    kill -0 $pid 2>/dev/null && { fail "handshake $handshake: a signal did not end the emulator"; kill -9 $pid; }
    wait $pid 2>/dev/null
    status=$?
    [ "$status" = 143 ] || fail "handshake $handshake: status $status after SIGTERM, not 143"
    wait
done

echo "$failures failures"
[ "$failures" -eq 0 ]
