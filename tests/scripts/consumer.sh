#!/usr/bin/env bash
# Installs the project into a temporary prefix, then builds and runs a tiny outside project
# against it twice: once through find_package, once through pkg-config.
set -euo pipefail
build_dir=$(cd "$(dirname "$1")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

mkdir -p "$work/app"
cat >"$work/app/main.cpp" <<'CPP'
#include <iostream>
#include <pexpect_custom/pexpect_custom.hpp>
int main() {
  std::string out = pexpect_custom::run("echo consumer works");
  std::cout << out;
  return out == "consumer works\r\n" && std::string(pexpect_custom::version) == "2.4" ? 0 : 1;
}
CPP
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
find_package(pexpect_custom 0.1 CONFIG REQUIRED)
add_executable(app main.cpp)
target_link_libraries(app PRIVATE pexpect_custom::pexpect_custom)
CMAKE

cmake -S "$work/app" -B "$work/app-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
ninja -C "$work/app-build" >/dev/null
"$work/app-build/app"

libdir=$(find "$work/prefix" -name pexpect_custom.pc -printf '%h\n' | head -1)
export PKG_CONFIG_PATH="$libdir"
# shellcheck disable=SC2046
g++ -o "$work/app-pc" "$work/app/main.cpp" $(pkg-config --cflags --libs --static pexpect_custom)
"$work/app-pc"
echo "consumer test: find_package and pkg-config both work"
