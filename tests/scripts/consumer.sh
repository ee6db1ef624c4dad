#!/usr/bin/env bash
# The project as a new user meets it: a Release build from the sources (library and launcher),
# its install, and an outside program built three ways: through find_package and through
# pkg-config against the install, and by a project that adds the source tree with
# add_subdirectory, which must configure without the test and benchmark libraries and must not
# inherit the project's warning options.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs a step with its output in a log that is shown only when the step fails.
step() {
  local what=$1
  shift
  "$@" >"$work/step.log" 2>&1 || {
    echo "FAILED: $what"
    cat "$work/step.log"
    exit 1
  }
}

step "configure the Release build" cmake -S "$source_dir" -B "$work/build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DPEXPECT_WARNINGS_AS_ERRORS=ON
step "build the library and the launcher" ninja -C "$work/build" -j2 pexpect_custom launcher
step "install" cmake --install "$work/build" --prefix "$work/prefix"
echo "Release build and install: done"

# PACKAGE_VERSION is the version the consumer's build found the package at; the library's own
# constant must agree with it.
mkdir -p "$work/app"
cat >"$work/app/main.cpp" <<'CPP'
#include <iostream>
#include <pexpect_custom/pexpect_custom.hpp>
#include <pexpect_custom/screen.hpp>
#include <string>
int main() {
  std::string out = pexpect_custom::run("echo consumer works");
  pexpect_custom::screen screen(2, 20);  // links the terminal emulator the library uses
  screen.feed(out);
  if (screen.row(0) != "consumer works") return 1;
  std::cout << out;
  if (std::string(pexpect_custom::version) != "2.4" || std::string(PACKAGE_VERSION) != "2.4") {
    std::cout << "version " << pexpect_custom::version << ", package " << PACKAGE_VERSION << "\n";
    return 1;
  }
  return out == "consumer works\r\n" ? 0 : 1;
}
CPP
cat >"$work/app/asio_main.cpp" <<'CPP'
#include <asio/io_context.hpp>
#include <pexpect_custom/asio.hpp>
int main() {
  asio::io_context io;
  pexpect_custom::spawn child("echo asio works");
  long index = -1;
  pexpect_custom::async_expect_exact(child, {"works"}, 30, asio::bind_executor(io, [&](std::exception_ptr, long i) {
    index = i;
  }));
  io.run();
  return index == 0 ? 0 : 1;
}
CPP
# The snapshot assertions, installed with their own target where GoogleTest is.
cat >"$work/app/gtest_main.cpp" <<'CPP'
#include <pexpect_custom/gtest.hpp>
TEST(Consumer, MissingSnapshotFails) {
  pexpect_custom::screen shown(2, 4);
  EXPECT_FALSE(pexpect_custom::matches_snapshot(shown, "missing/snapshot.txt"));
}
CPP
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
find_package(pexpect_custom 2.4 CONFIG REQUIRED)
add_executable(app main.cpp)
target_link_libraries(app PRIVATE pexpect_custom::pexpect_custom)
target_compile_definitions(app PRIVATE PACKAGE_VERSION="${pexpect_custom_VERSION}")
add_executable(app_asio asio_main.cpp)
target_link_libraries(app_asio PRIVATE pexpect_custom::asio)
add_executable(app_gtest gtest_main.cpp)
target_link_libraries(app_gtest PRIVATE pexpect_custom::gtest GTest::gtest_main)
CMAKE
step "configure the find_package consumer" \
  cmake -S "$work/app" -B "$work/app-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix"
step "build the find_package consumer" ninja -C "$work/app-build"
"$work/app-build/app"
"$work/app-build/app_asio"
(cd "$work" && "$work/app-build/app_gtest" >/dev/null)

libdir=$(find "$work/prefix" -name pexpect_custom.pc -printf '%h\n' | head -1)
export PKG_CONFIG_PATH="$libdir"
# shellcheck disable=SC2046
g++ -o "$work/app-pc" "$work/app/main.cpp" "-DPACKAGE_VERSION=\"$(pkg-config --modversion pexpect_custom)\"" \
  $(pkg-config --cflags --libs --static pexpect_custom)
"$work/app-pc"
echo "find_package and pkg-config consumers: built and run"

# The outside project's own code warns (an unused parameter); the project's -Werror must not
# reach it, even when turned on for the project's own targets.
mkdir -p "$work/outer"
cp "$work/app/main.cpp" "$work/outer/main.cpp"
echo 'int unused_parameter(int ignored) { return 0; }' >"$work/outer/warns.cpp"
cat >"$work/outer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(outer CXX)
add_subdirectory("$source_dir" pexpect_custom)
add_executable(app main.cpp warns.cpp)
target_compile_options(app PRIVATE -Wextra)
target_link_libraries(app PRIVATE pexpect_custom::pexpect_custom)
get_target_property(package_version pexpect_custom VERSION)
target_compile_definitions(app PRIVATE PACKAGE_VERSION="\${package_version}")
CMAKE
step "configure the add_subdirectory consumer without GoogleTest and Google Benchmark" \
  cmake -S "$work/outer" -B "$work/outer-build" -G Ninja -DPEXPECT_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
extra_targets=$(ninja -C "$work/outer-build" -t targets all |
  grep -E '^(test_|bench_|example_|fuzz_|pexpect_helper|pexpect_bench)' || true)
[ -z "$extra_targets" ] || { echo "targets the consumer did not ask for:"; echo "$extra_targets"; exit 1; }
[ ! -e "$work/outer-build/CPackConfig.cmake" ] || { echo "the project set up packaging for its consumer"; exit 1; }
grep -q '^CMAKE_BUILD_TYPE:STRING=$' "$work/outer-build/CMakeCache.txt" ||
  { echo "the project chose the consumer's build type"; exit 1; }
step "build the add_subdirectory consumer" ninja -C "$work/outer-build" -j2 app
"$work/outer-build/app"
echo "add_subdirectory consumer: configured without test dependencies, built and run"
