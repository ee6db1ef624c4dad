#!/usr/bin/env bash
# Formatting and clang-tidy findings fail the tests.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/../../scripts/lint" "$(cd "$(dirname "$1")" && pwd)"
