#!/usr/bin/env bash
# kept_trace_check.sh EMULATOR CHECKING_EMULATOR DIR...: runs every package in the DIRs with
# both emulators, traced and not; the checking one formats every kept trace line afresh and
# aborts on a difference, so any difference in output or status fails.
set -u
emulator=$(realpath "$1") checking=$(realpath "$2")
shift 2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
runs=0 failed=0
for prg in $(find "$@" -type f \( -name '*.prg' -o -path '*corpus*' \) 2>/dev/null | sort); do
    for args in "-debug -max-steps 3000" "-max-steps 300000"; do
        runs=$((runs + 1))
        (cd "$tmp" && timeout 20 "$emulator" $args "$prg" >a.out 2>a.err; echo $? >a.rc)
        (cd "$tmp" && timeout 20 "$checking" $args "$prg" >b.out 2>b.err; echo $? >b.rc)
        if ! cmp -s "$tmp/a.out" "$tmp/b.out" || ! cmp -s "$tmp/a.err" "$tmp/b.err" ||
            ! cmp -s "$tmp/a.rc" "$tmp/b.rc"; then
            failed=$((failed + 1))
            echo "DIFFERS: $args $prg"
            head -c 600 "$tmp/b.err"
        fi
    done
done
echo "$runs runs, $failed differ"
[ "$runs" -gt 0 ] && [ "$failed" -eq 0 ]
