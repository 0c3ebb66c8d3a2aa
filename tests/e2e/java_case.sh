#!/usr/bin/env bash
# One end-to-end case: compile Java sources with javac, link them, run the package.
#   java_case.sh jvm    NAME MAIN [CLASS...]  compare the DRIVE lines with the real JVM
#   java_case.sh golden NAME MAIN [CLASS...]  compare linker and emulator output and exit
#                                             statuses with tests/java/golden/NAME.out
# MAIN and CLASS name sources in tests/java/programs; Drive is always linked last.
# LINK_OPTIONS and RUN_OPTIONS in the environment go to the linker and the emulator,
# JAVAC_OPTIONS (default -g:none) to javac; MIRT_UPDATE_GOLDEN=1 rewrites the golden file.
set -u
mode=$1 name=$2 main=$3
shift 3
extra=("$@")
: "${MIRT_LINKER:?}" "${MIRT_EMULATOR:?}" "${MIRT_JAVA_DIR:?}" "${MIRT_WORK_DIR:?}"
work=$MIRT_WORK_DIR/$name
rm -rf "$work" && mkdir -p "$work/vm" "$work/jvm"

sources=("$MIRT_JAVA_DIR/programs/$main.java")
for c in "${extra[@]}"; do sources+=("$MIRT_JAVA_DIR/programs/$c.java"); done

# shellcheck disable=SC2086
javac --release 17 ${JAVAC_OPTIONS:-"-g:none"} -d "$work/vm" "${sources[@]}" "$MIRT_JAVA_DIR/drive/vm/Drive.java" || exit 1
classes=("$main.class")
for c in "${extra[@]}"; do classes+=("$c.class"); done
classes+=(Drive.class)

cd "$work/vm" || exit 1
# shellcheck disable=SC2086
"$MIRT_LINKER" ${LINK_OPTIONS:-} "${classes[@]}" "$name.prg" >link.out
link_status=$?
"$MIRT_EMULATOR" ${RUN_OPTIONS:-} "$name.prg" >run.out
run_status=$?

case $mode in
jvm)
    javac --release 17 -d "$work/jvm" "${sources[@]}" "$MIRT_JAVA_DIR/drive/jvm/Drive.java" \
        "$MIRT_JAVA_DIR/drive/jvm/JvmMain.java" || exit 1
    java -cp "$work/jvm" JvmMain "$main" >"$work/jvm.out" || exit 1
    grep '^DRIVE: ' run.out >"$work/emulator.out"
    if [ "$link_status" != 0 ] || [ "$run_status" != 0 ]; then
        echo "link status $link_status, run status $run_status"
        tail -n 5 link.out run.out
        exit 1
    fi
    # Programs that run as Java says must pass the check without errors.
    if [ -n "${MIRT_CHECK:-}" ] && ! "$MIRT_CHECK" "$name.prg" >check.out; then
        echo "mirt_check reports errors:"
        grep ': error: ' check.out
        exit 1
    fi
    if ! diff -u "$work/jvm.out" "$work/emulator.out"; then
        echo "emulator and JVM differ (- JVM, + emulator)"
        exit 1
    fi
    echo "$(wc -l <"$work/jvm.out") DRIVE lines agree with the JVM"
    ;;
golden)
    {
        cat link.out
        echo "--- link status: $link_status"
        cat run.out
        echo "--- run status: $run_status"
    } >"$work/actual.out"
    golden=$MIRT_JAVA_DIR/golden/$name.out
    if [ -n "${MIRT_UPDATE_GOLDEN:-}" ]; then
        cp "$work/actual.out" "$golden"
        exit 0
    fi
    diff -u "$golden" "$work/actual.out" || exit 1
    ;;
*)
    echo "unknown mode $mode"
    exit 2
    ;;
esac
