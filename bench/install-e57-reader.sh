#!/usr/bin/env bash
# Installs web-e57 (an E57 reader compiled to WebAssembly, from the npm registry) into
# build/e57reader, for scripts/check-scans.py and the E57 tests to read E57 files independently
# of levelling-cloud (bench/e57_read.mjs). The programs never use it. Needs node and npm.
set -euo pipefail
exec "$(dirname "$0")/install-npm.sh" web-e57@1.2.0 e57reader
