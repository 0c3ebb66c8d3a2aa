#!/usr/bin/env bash
# A deliberately unsuitable Java program: mirt_check must report the expected finding as an
# error (status 1), and the emulator must indeed stop with an "ERROR: " line (status 255).
#   check_case.sh NAME MAIN "EXPECTED FINDING[;;MORE FINDINGS]"
set -u
name=$1 main=$2 expected=$3
: "${MIRT_LINKER:?}" "${MIRT_EMULATOR:?}" "${MIRT_CHECK:?}" "${MIRT_JAVA_DIR:?}" "${MIRT_WORK_DIR:?}"
work=$MIRT_WORK_DIR/$name
rm -rf "$work" && mkdir -p "$work"
javac --release 17 -g:none -d "$work" "$MIRT_JAVA_DIR/unsuitable/$main.java" \
    "$MIRT_JAVA_DIR/drive/vm/Drive.java" || exit 1
cd "$work" || exit 1
"$MIRT_LINKER" "$main.class" Drive.class "$name.prg" >link.out || { cat link.out; exit 1; }
"$MIRT_CHECK" "$name.prg" >check.out
check_status=$?
"$MIRT_EMULATOR" "$name.prg" >run.out
run_status=$?
cat check.out
missing=""
while IFS= read -r finding; do
    grep -qF -- "$finding" check.out || missing="$missing
  $finding"
done <<<"${expected//;;/$'\n'}"
if [ "$check_status" != 1 ] || [ -n "$missing" ]; then
    echo "expected status 1 and the findings:$missing (status $check_status)"
    exit 1
fi
if [ "$run_status" != 255 ] || ! tail -n 1 run.out | grep -q '^ERROR: '; then
    echo "the emulator did not stop with an error (status $run_status):"
    tail -n 3 run.out
    exit 1
fi
echo "emulator: $(tail -n 1 run.out)"
