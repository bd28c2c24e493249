#!/usr/bin/env bash
# Installs laz-perf (LAZ compiled to WebAssembly, from the npm registry) into build/lazperf, for
# scripts/check-laz.py and bench/laz_benchmark.py to decode LAZ independently of levelling-cloud
# and to time it. The programs never use it. Needs node and npm (Debian's nodejs, npm).
set -euo pipefail
exec "$(dirname "$0")/install-npm.sh" laz-perf@0.0.7 lazperf
