# shellcheck shell=bash
# Sourced by the debugger tests: the programs they debug, built for the emulator and for
# HotSpot, and a debuggee started under the emulator, HotSpot or mirt_test, listening at a
# free port. Every wait is bounded.
: "${MIRT_LINKER:?}" "${MIRT_EMULATOR:?}" "${MIRT_JAVA_DIR:?}"
suite_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../suite" && pwd)
tools_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools" && pwd)

# Compiles and links the debugged programs into the current directory, HotSpot's in jvm/.
build_debuggees() {
    javac --release 17 -g -d . "$MIRT_JAVA_DIR"/debug/*.java "$MIRT_JAVA_DIR"/faults/TwoDeep.java \
        "$MIRT_JAVA_DIR/drive/vm/Drive.java" || return 1
    mkdir -p jvm && javac --release 17 -g -d jvm "$MIRT_JAVA_DIR"/debug/*.java \
        "$MIRT_JAVA_DIR"/faults/TwoDeep.java "$MIRT_JAVA_DIR"/drive/jvm/*.java || return 1
    "$MIRT_LINKER" -map controller.map -map-locals Controller.class Regulator.class Drive.class \
        controller.prg >/dev/null || return 1
    "$MIRT_LINKER" -map twodeep.map -map-locals TwoDeep.class Drive.class twodeep.prg >/dev/null
}

# start_debuggee emulator|hotspot MAIN, or start_debuggee mirt_test CASE (of status.yaml,
# through mirt_run as a user would, which hands it to mirt_test):
# runs it in the background ($debuggee_pid) with its output in program.out and program.err,
# and sets $port once it listens.
start_debuggee() {
    local kind=$1 main=$2
    rm -f program.out program.err
    port=
    case $kind in
    emulator)
        timeout 60 "$MIRT_EMULATOR" -q -jdwp 0 -map "${main,,}.map" "${main,,}.prg" \
            >program.out 2>program.err &
        ;;
    hotspot)
        timeout 60 java -agentlib:jdwp=transport=dt_socket,server=y,suspend=y,address=localhost:0 \
            -cp jvm JvmMain "$main" >program.out 2>program.err &
        ;;
    mirt_test)
        MIRT_BUILD_DIR=$(dirname "${MIRT_TEST:?}") timeout 60 "$tools_dir/mirt_run" \
            "$suite_dir/status.yaml" --jdwp 0 --filter "$main" >program.out 2>program.err &
        ;;
    esac
    # shellcheck disable=SC2034 # for the script that sources this one
    debuggee_pid=$!
    for _ in $(seq 150); do
        port=$(sed -n 's/^Listening for transport dt_socket at address: //p' program.out program.err)
        [ -n "$port" ] && break
        sleep 0.1
    done
}
