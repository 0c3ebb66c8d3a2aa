#!/usr/bin/env bash
# Plants each fault of the list below, one at a time, in a copy of the sources, builds the
# unit tests there and runs them: a fault the tests fail on is killed, one they pass
# survives. Reports each and the total.
#   tools/mutants.sh [FILTER]    FILTER: a gtest filter (default: all unit tests)
#   MUTANTS_ONLY=text            only the faults whose line holds `text`
#   MUTANTS_REUSE=1              go on in the copy and build of an earlier run
# A fault is one line: file, the text it replaces (found exactly once) and the new text,
# separated by " ||| ". A fault that makes the tests run on past 10 minutes counts as killed.
# `cmake --build build --target mutants` runs it (not part of ctest: it takes about an hour).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
filter=${1:-*}
work=${MUTANTS_DIR:-/tmp/mirt_mutants}
mutants=$(
    cat <<'EOF'
vm/steuerung/src/mirt/mirt_fused.h ||| COMPARE_BRANCH(D, a op 0)) ||| COMPARE_BRANCH(D, MUTANT_##cond(a op 0)))\n#define MUTANT_eq(e) e\n#define MUTANT_ne(e) e\n#define MUTANT_lt(e) e\n#define MUTANT_ge(e) a > 0\n#define MUTANT_gt(e) e\n#define MUTANT_le(e) e
vm/steuerung/src/mirt/mirt_fused.h ||| CONSTANT_OPERATION(LEN, S32, put_int, expr)) ||| CONSTANT_OPERATION(LEN, S32, put_int, (#name[1] == 'o' && LEN == 2 ? (a & b) : (expr))))
vm/steuerung/src/mirt/mirt_fused.h ||| LOCAL_CONSTANT_OPERATION(LEN, expr)) ||| LOCAL_CONSTANT_OPERATION(LEN, (#name[1] == 's' && #name[2] == 'u' && LEN == 3 ? sub32(b, a) : (expr))))
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, ge, >=) ||| X(ROW, LEN, ge, >)
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, lt, <) ||| X(ROW, LEN, lt, <=)
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, eq, ==) ||| X(ROW, LEN, eq, !=)
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, ior,  a | b) ||| X(ROW, LEN, ior,  a & b)
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, ixor, a ^ b) ||| X(ROW, LEN, ixor, a | b)
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, isub, sub32(a, b)) ||| X(ROW, LEN, isub, sub32(b, a))
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, ishr,  shr32(a, b)) ||| X(ROW, LEN, ishr,  ushr32(a, b))
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, lushr, ushr64(a, b)) ||| X(ROW, LEN, lushr, shr64(a, b))
vm/steuerung/src/mirt/mirt_fused.h ||| COMPARE_BRANCH(S64, a op 0)) ||| COMPARE_BRANCH(S64, 0 op a))
vm/steuerung/src/mirt/mirt_fused.h ||| MIRT_FUSED_CONDITIONS(MIRT_FUSED_COMPARE_LOCAL_CONSTANT, ROW, 2) ||| MIRT_FUSED_CONDITIONS(MIRT_FUSED_COMPARE_LOCAL_CONSTANT, ROW, 3)
vm/steuerung/src/mirt/mirt_fused.h ||| either_part(OP_fcmpl, OP_fcmpg) ||| either_part(OP_fcmpl, OP_dcmpl)
vm/steuerung/src/mirt/mirt_handlers.inc ||| r.pc += 1 + (length); /* on the if_icmp<cond> */ ||| r.pc += (length); /* on the if_icmp<cond> */
vm/steuerung/src/mirt/mirt_handlers.inc ||| store_named_int(r.pc + 3, (expr)); ||| store_named_int(r.pc + 2, (expr));
vm/steuerung/src/mirt/mirt_handlers.inc ||| const s32 a = bits_S32(r.top[-1].value.U64); ||| const s32 a = bits_S32(r.tos_bits);
vm/steuerung/src/mirt/mirt_opcodes.h ||| X(0x21, lload_3,        0,   0, RUN,    EFFECT(0, 2) ||| X(0x21, lload_3,        0,   0, RUN,    EFFECT(0, 0)
vm/steuerung/src/mirt/mirt_opcodes.h ||| X(0x60, iadd,           0,   0, RUN,    EFFECT(2, 1) ||| X(0x60, iadd,           0,   0, RUN,    EFFECT(1, 1)
vm/steuerung/src/mirt/mirt_opcodes.h ||| X(0x10, bipush,         1,   0, RUN,    EFFECT(0, 1) ||| X(0x10, bipush,         1,   0, RUN,    EFFECT(0, 2)
vm/steuerung/src/mirt/mirt_opcodes.h ||| X(0x94, lcmp,           0,   0, RUN,    EFFECT(2, 1) ||| X(0x94, lcmp,           0,   0, RUN,    EFFECT(2, 2)
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, ne, !=) ||| X(ROW, LEN, ne, ==)
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, gt, >) ||| X(ROW, LEN, gt, >=)
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, le, <=) ||| X(ROW, LEN, le, <)
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, iadd, add32(a, b)) ||| X(ROW, LEN, iadd, sub32(a, b))
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, imul, mul32(a, b)) ||| X(ROW, LEN, imul, mul32(a, a))
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, iand, a & b) ||| X(ROW, LEN, iand, a | b)
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, ishl,  shl32(a, b)) ||| X(ROW, LEN, ishl,  shl32(b, a))
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, iushr, ushr32(a, b)) ||| X(ROW, LEN, iushr, shr32(a, b))
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, lshl,  shl64(a, b)) ||| X(ROW, LEN, lshl,  shl64(a, b & 31))
vm/steuerung/src/mirt/mirt_fused.h ||| X(ROW, LEN, lshr,  shr64(a, b)) ||| X(ROW, LEN, lshr,  ushr64(a, b))
vm/steuerung/src/mirt/mirt_fused.h ||| COMPARE_LOCALS(a op b)) ||| COMPARE_LOCALS(b op a))
vm/steuerung/src/mirt/mirt_fused.h ||| COMPARE_LOCAL_CONSTANT(LEN, a op b)) ||| COMPARE_LOCAL_CONSTANT(LEN, b op a))
vm/steuerung/src/mirt/mirt_fused.h ||| COMPARE_LOCAL_CONSTANT(LEN, a op b)) ||| COMPARE_LOCAL_CONSTANT(LEN - 1, a op b))
vm/steuerung/src/mirt/mirt_fused.h ||| COMPARE_BRANCH(F, a op 0)) ||| COMPARE_BRANCH(F, 0 op a))
vm/steuerung/src/mirt/mirt_fused.h ||| COMPARE_BRANCH(S64, a op 0)) ||| COMPARE_BRANCH(S32, a op 0))
vm/steuerung/src/mirt/mirt_fused.h ||| either_part(OP_dcmpl, OP_dcmpg) ||| op_part(OP_dcmpl)
vm/steuerung/src/mirt/mirt_fused.h ||| CONSTANT_OPERATION(LEN, S32, put_int, expr)) ||| CONSTANT_OPERATION(LEN + 1, S32, put_int, expr))
vm/steuerung/src/mirt/mirt_fused.h ||| CONSTANT_OPERATION(LEN, S64, put_long, expr)) ||| CONSTANT_OPERATION(LEN, S32, put_long, expr))
vm/steuerung/src/mirt/mirt_fused.h ||| LOCAL_CONSTANT_OPERATION(LEN, expr)) ||| LOCAL_CONSTANT_OPERATION(LEN + 1, expr))
vm/steuerung/src/mirt/mirt_fused.h ||| (load_part(), constant_part(LEN), op_part(OP_##name)), ||| (load_part(), constant_part(LEN == 3 ? 2 : LEN), op_part(OP_##name)),
vm/steuerung/src/mirt/mirt_fused.h ||| ASSIGN(expr)) ||| ASSIGN(([](s32 a, s32 b) { return expr; }(b, a))))
vm/steuerung/src/mirt/mirt_fused.h ||| OPERATION_STORE(expr)) ||| OPERATION_STORE(([](s32 a, s32 b) { return expr; }(b, a))))
vm/steuerung/src/mirt/mirt_fused.h ||| ROW(increment_goto, (op_part(OP_iinc), op_part(OP_goto)), INCREMENT_GOTO) ||| ROW(increment_goto, (op_part(OP_iinc), op_part(OP_goto)), INCREMENT)
vm/steuerung/src/mirt/mirt_fused.h ||| MIRT_FUSED_KNOWN_CONSTANT(ROW, ldc_w_float, ldc_w, TYPE_FLOAT) ||| MIRT_FUSED_KNOWN_CONSTANT(ROW, ldc_w_float, ldc_w, TYPE_INT)
vm/steuerung/src/mirt/mirt_fused.h ||| constexpr fused_part store_part() { return either_part(OP_istore_0, OP_istore_3); } ||| constexpr fused_part store_part() { return either_part(OP_istore_1, OP_istore_3); }
vm/steuerung/src/mirt/mirt_fused.h ||| first.tag == TYPE_INT); ||| first.tag == TYPE_FLOAT);
vm/steuerung/src/mirt/mirt_opcodes.h ||| X(0x16, lload,          1,   2, RUN,    EFFECT(0, 2) ||| X(0x16, lload,          1,   2, RUN,    EFFECT(0, 1)
vm/steuerung/src/mirt/mirt_opcodes.h ||| X(0x37, lstore,         1,   2, RUN,    EFFECT(1, 0) ||| X(0x37, lstore,         1,   2, RUN,    EFFECT(2, 0)
vm/steuerung/src/mirt/mirt_opcodes.h ||| X(0x59, dup,            0,   0, RUN,    STACK_FORM(1, 1) ||| X(0x59, dup,            0,   0, RUN,    STACK_FORM(1, 0)
vm/steuerung/src/mirt/mirt_opcodes.h ||| X(0x84, iinc,           2,   4, RUN,    EFFECT(0, 0) ||| X(0x84, iinc,           2,   4, RUN,    EFFECT(0, 1)
vm/steuerung/src/mirt/mirt_opcodes.h ||| X(0x85, i2l,            0,   0, RUN,    EFFECT(1, 2) ||| X(0x85, i2l,            0,   0, RUN,    EFFECT(1, 1)
vm/steuerung/src/mirt/mirt_opcodes.h ||| X(0x98, dcmpg,          0,   0, RUN,    EFFECT(2, 1) ||| X(0x98, dcmpg,          0,   0, RUN,    EFFECT(2, 0)
EOF
)
[ -z "${MUTANTS_ONLY:-}" ] || mutants=$(grep -F -- "$MUTANTS_ONLY" <<<"$mutants")

if [ -z "${MUTANTS_REUSE:-}" ]; then
    rm -rf "$work" && mkdir -p "$work"
    echo "copying the sources to $work/src and building once"
    (cd "$root" && git ls-files -z | xargs -0 cp --parents -t "$work" 2>/dev/null)
    mv "$work" "$work.src" && mkdir -p "$work" && mv "$work.src" "$work/src"
    # -O1: each fault rebuilds the interpreter and the unit tests, which -O3 builds slower
    cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" >/dev/null || exit 1
    cmake --build "$work/build" -j2 --target mirt_unit_tests >/dev/null || exit 1
    if ! "$work/build/mirt_unit_tests" --gtest_filter="$filter" >/dev/null 2>&1; then
        echo "the unit tests fail without a fault"
        exit 1
    fi
fi

killed=0 total=0
while IFS= read -r line; do
    [ -n "$line" ] || continue
    total=$((total + 1))
    file=${line%% ||| *}
    rest=${line#* ||| }
    old=${rest%% ||| *}
    new=${rest#* ||| }
    cp "$work/src/$file" "$work/original"
    if ! python3 - "$work/src/$file" "$old" "$new" <<'PY'; then
import sys
path, old, new = sys.argv[1], sys.argv[2].replace('\\n', '\n'), sys.argv[3].replace('\\n', '\n')
text = open(path).read()
if text.count(old) != 1:
    sys.exit(1)
open(path, 'w').write(text.replace(old, new))
PY
        echo "NOT PLANTED (text not found once): $file: $old"
        continue
    fi
    if ! cmake --build "$work/build" -j2 --target mirt_unit_tests >"$work/build.log" 2>&1; then
        result="NOT BUILT (a fault must build to count)"
        total=$((total - 1))
    elif timeout 600 "$work/build/mirt_unit_tests" --gtest_filter="$filter" >"$work/test.log" 2>&1; then
        result=SURVIVED
    else
        result="killed"
        killed=$((killed + 1))
    fi
    echo "$result: $file: $old -> $new"
    cp "$work/original" "$work/src/$file"
done <<<"$mutants"
cmake --build "$work/build" -j2 --target mirt_unit_tests >/dev/null 2>&1
echo "$killed of $total killed"
