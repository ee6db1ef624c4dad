#!/usr/bin/env bash
# Every C++ example in the README, in doc/ and in the public headers' comments compiles: each
# ```cpp block becomes the body of a function of its own, checked by the compiler.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$(dirname "$1")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Prints the examples of one file as functions; in headers, the examples sit in /// comments.
extract() {
  awk -v id="$2" -v comments="$3" '
    { line = $0 }
    comments == 1 { if (line !~ /^[ \t]*\/\/\/ ?/) next; sub(/^[ \t]*\/\/\/ ?/, "", line) }
    line ~ /^```cpp[ \t]*$/ { open = 1; count++
      printf "namespace example_%s_%d {\n[[maybe_unused]] void show() {\nusing namespace pexpect_custom;\n", id, count
      next }
    open && line ~ /^```[ \t]*$/ { open = 0; print "}\n}"; next }
    open { print line }
    END { if (open) print "#error an example is not closed" }' "$1"
}

{
  printf '#include <pexpect_custom/pexpect_custom.hpp>\n#include <poll.h>\n#include <sys/socket.h>\n#include <chrono>\n'
  printf '#include <pexpect_custom/gtest.hpp>\n#include <fstream>\n#include <iostream>\n#include <string>\n'
  n=0
  for file in "$root"/README.md "$root"/doc/*.md; do
    n=$((n + 1))
    extract "$file" "doc$n" 0
  done
  for file in "$root"/pexpect_custom/include/pexpect_custom/*.hpp; do
    n=$((n + 1))
    extract "$file" "header$n" 1
  done
} >"$work/examples.cpp"

count=$(grep -c '^namespace example_' "$work/examples.cpp")
"${CXX:-c++}" -std=c++20 -fsyntax-only -I"$root/pexpect_custom/include" -I"$build/generated" \
  "$work/examples.cpp"
echo "documentation examples: $count compile"
