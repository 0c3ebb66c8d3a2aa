#!/usr/bin/env bash
# Static analysis of vm/: cppcheck and clang-tidy (bugprone, clang-analyzer; .clang-tidy
# says which checks and why some are left out); cppcheck also reads the unit tests. The
# interpreter is analysed in its switch build, since neither tool reads label addresses.
# Exits non-zero on any finding.
#   tools/lint.sh
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$root/build-lint
cmake -S . -B "$build" -DMIRT_THREADED_DISPATCH=OFF -DMIRT_BUILD_TESTS=OFF \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
sources=$(git ls-files 'vm/*.cpp')
status=0
echo "== cppcheck"
# useStlAlgorithm: the raw loops it would turn into algorithms read more plainly as loops.
cppcheck --enable=warning,style,performance,portability --std=c++20 --inline-suppr --quiet \
    --error-exitcode=1 --suppress=useStlAlgorithm -DMIRT_THREADED_DISPATCH=0 \
    -I vm/steuerung/src/mirt -I vm/steuerung/src/emulator -I vm/host -I vm/pc/src -I vm/pc/check \
    $sources || status=1
echo "== cppcheck of the unit tests"
# The same checks: a test's local that shadows one of the VM's globals reads as the global.
# shellcheck disable=SC2046 # one argument per source
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
    --inline-suppr --quiet --error-exitcode=1 --suppress=useStlAlgorithm --library=googletest \
    -DMIRT_THREADED_DISPATCH=0 -I vm/steuerung/src/mirt -I vm/steuerung/src/emulator -I vm/host \
    -I vm/pc/src -I vm/pc/check -I tests/support $(git ls-files 'tests/unit/*.cpp') || status=1
echo "== clang-tidy"
# shellcheck disable=SC2086 # one argument per source
clang-tidy -p "$build" --quiet $sources 2>/dev/null || status=1
[ $status -eq 0 ] && echo "clean"
exit $status
