#!/usr/bin/env bash
# Every program in examples/ compiles, links, passes mirt_check and runs to its end.
set -eu
: "${MIRT_LINKER:?}" "${MIRT_EMULATOR:?}" "${MIRT_CHECK:?}" "${MIRT_WORK_DIR:?}"
examples=$(cd "$(dirname "$0")/../../examples" && pwd)
for source in "$examples"/*.java; do
    name=$(basename "$source" .java)
    work=$MIRT_WORK_DIR/example_$name
    rm -rf "$work" && mkdir -p "$work" && cd "$work"
    javac --release 17 -g:none -d . "$source"
    "$MIRT_LINKER" "$name.class" "$name.prg" >link.out
    "$MIRT_CHECK" "$name.prg" >check.out || { cat check.out; exit 1; }
    "$MIRT_EMULATOR" "$name.prg" >run.out || { tail -n 3 run.out; exit 1; }
    echo "$name: $(tail -n 1 check.out)"
done
