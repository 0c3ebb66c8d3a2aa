#!/usr/bin/env bash
# The linker's map, read by people, awk, the emulator and the checker: programs compiled with
# and without line numbers, the map's methods, code lengths and lines against javap, the
# package unchanged by -map, a stack trace two calls deep, a package too big, maps that do
# not belong.
set -u
: "${MIRT_LINKER:?}" "${MIRT_EMULATOR:?}" "${MIRT_CHECK:?}" "${MIRT_JAVA_DIR:?}" "${MIRT_WORK_DIR:?}"
work=$MIRT_WORK_DIR/map
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0 checks=0
check() { # description, then the command that must succeed
    local what=$1
    shift
    checks=$((checks + 1))
    "$@" || { echo "FAIL: $what"; failures=$((failures + 1)); }
}

# What javap says of each method: "<name><descriptor> <code length> <offset>:<line>..."
javap_methods() { # class
    javap -c -l -s -p "$1.class" | awk -v cls="$1" '
        function flush() { if (name != "") print name descriptor, length_, lines; name = "" }
        /^  [a-z].*\(.*\);$/ || /^  [A-Z][A-Za-z]*\(.*\);$/ {
            flush(); s = $0; sub(/\(.*/, "", s); n = split(s, w, " "); name = w[n]
            if (name == cls) name = "<init>"; lines = ""; length_ = 0; next }
        /^    descriptor: / { descriptor = $2; next }
        /^ *[0-9]+: [a-z]/ { off = $1; sub(/:/, "", off); op = $2
            length_ = off + (op == "goto" ? 3 : 1) }
        /^      line [0-9]+: [0-9]+$/ { l = $2; sub(/:/, "", l); lines = lines " " $3 ":" l }
        END { flush() }' | sort
}
# The same from the map.
map_methods() { # map class
    awk -v cls="$2" '
        $1 == "method" && $2 == cls { key[$3] = $4 $5 " " $15; order[++n] = $3 }
        $1 == "line" && $2 == cls { lines[$3] = lines[$3] " " $4 ":" $5 }
        END { for (i = 1; i <= n; ++i) print key[order[i]], lines[order[i]] }' "$1" | sort
}

for debug in -g -g:none; do
    dir=$work/$debug && mkdir -p "$dir" && cd "$dir" || exit 1
    javac --release 17 $debug -d . "$MIRT_JAVA_DIR"/programs/{Control,Util}.java \
        "$MIRT_JAVA_DIR"/faults/TwoDeep.java "$MIRT_JAVA_DIR/drive/vm/Drive.java" || exit 1
    "$MIRT_LINKER" Control.class Util.class Drive.class plain.prg >/dev/null
    "$MIRT_LINKER" -map control.map Control.class Util.class Drive.class control.prg >/dev/null
    check "$debug: -map leaves the package as it is" cmp -s plain.prg control.prg
    check "$debug: the map's cksum is cksum's" \
        grep -qx "package size $(stat -c %s control.prg) cksum $(cksum <control.prg | cut -d' ' -f1)" control.map
    for class in Control Util Drive; do
        # native methods have no code in either; javap lists them without a Code block
        check "$debug: $class as javap sees it" \
            diff <(javap_methods $class | grep -v ' 0 *$') <(map_methods control.map $class | grep -v ' 0 *$')
    done
    "$MIRT_LINKER" -map deep.map TwoDeep.class Drive.class deep.prg >/dev/null
    "$MIRT_EMULATOR" -q -map deep.map deep.prg >deep.out
    check "$debug: a fault ends with status 255" test $? = 255
    if [ "$debug" = -g ]; then
        expected="ERROR: division by zero at code offset 2
  at TwoDeep.divide(TwoDeep.java:4), code offset 2
  at TwoDeep.twice(TwoDeep.java:10), code offset 8
  at TwoDeep.main(TwoDeep.java:16), code offset 12"
    else
        expected="ERROR: division by zero at code offset 2
  at TwoDeep.divide, code offset 2
  at TwoDeep.twice, code offset 8
  at TwoDeep.main, code offset 12"
    fi
    check "$debug: the stack trace" diff <(tail -n 4 deep.out) <(echo "$expected")
    cd "$work" || exit 1
done

# Maps that do not belong: status 1 in the emulator, 2 in the checker, before anything runs.
cd "$work/-g" || exit 1
echo "not a map" >junk.map
for map in deep.map junk.map missing.map; do
    "$MIRT_EMULATOR" -map $map control.prg >bad.out
    check "emulator with $map: status 1" test $? = 1
    check "emulator with $map: nothing ran" bash -c '! grep -q "trying to decode" bad.out'
    "$MIRT_CHECK" -map $map control.prg >bad.out
    check "checker with $map: status 2" test $? = 2
done

# The checker names the source line of a finding.
javac --release 17 -g -d . "$MIRT_JAVA_DIR/unsuitable/UsesArray.java" || exit 1
"$MIRT_LINKER" -map array.map UsesArray.class Drive.class array.prg >/dev/null
check "checker: the finding's line" bash -c \
    "'$MIRT_CHECK' -map array.map array.prg | grep -q '^UsesArray.main@[0-9]*: error: .* (UsesArray.java:[0-9]*)$'"

# A package too big lists what takes the space, and its map is written all the same.
javac --release 17 -g -d . "$MIRT_JAVA_DIR/programs/TooBig.java" || exit 1
"$MIRT_LINKER" -map big.map TooBig.class Drive.class big.prg >big.out
check "too big: status 1" test $? = 1
check "too big: no package" test ! -e big.prg
check "too big: the largest method" grep -qE '^  TooBig\.main\(\)V: [0-9]+ bytes$' big.out
check "too big: what -OS saves" grep -qE '^-OS would save [0-9]+ bytes' big.out
check "too big: the map" grep -q '^class TooBig ' big.map

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" = 0 ]
