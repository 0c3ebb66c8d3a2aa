#!/usr/bin/env bash
# Installs what building and testing need, where this machine lacks it: a C++ compiler,
# CMake, GoogleTest, yaml-cpp (drive descriptions, mirt_test's scenarios), a JDK (javac and
# java for the end-to-end tests), Python and GTKWave with its vcd2fst (readers of the
# recordings; GTKWave runs on the virtual X server of xvfb-run) and the readers of mirt_test's
# reports (junitparser, prove, lcov); with --sanitizers also clang with its sanitizer and
# libFuzzer runtimes, clang-tidy and cppcheck; with --example only what building the tools and
# compiling an example need (compiler, CMake, yaml-cpp, JDK).
set -eu
missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
command -v make >/dev/null || missing+=(make)
{ command -v javac >/dev/null && command -v java >/dev/null; } || missing+=(default-jdk-headless)
[ -f /usr/include/yaml-cpp/yaml.h ] || missing+=(libyaml-cpp-dev)  # drive descriptions, scenarios
command -v pkg-config >/dev/null || missing+=(pkg-config)          # finds yaml-cpp
if [ "${1:-}" != --example ]; then
    [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    command -v python3 >/dev/null || missing+=(python3)  # the tests' CSV and XML readers
    command -v vcd2fst >/dev/null || missing+=(gtkwave)  # its vcd2fst reads the recorded dumps
    command -v xvfb-run >/dev/null || missing+=(xvfb)    # GTKWave opens the save file with no screen
    /usr/bin/python3 -c 'import junitparser' 2>/dev/null || missing+=(python3-junitparser) # reads JUnit XML (Debian's python3)
    command -v prove >/dev/null || missing+=(perl)       # reads TAP
    command -v genhtml >/dev/null || missing+=(lcov)     # reads coverage
fi
if [ "${1:-}" = --sanitizers ]; then
    command -v clang++ >/dev/null || missing+=(clang)
    command -v clang-tidy >/dev/null || missing+=(clang-tidy)
    command -v cppcheck >/dev/null || missing+=(cppcheck)
    compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
        missing+=(libclang-rt-14-dev)
fi
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
