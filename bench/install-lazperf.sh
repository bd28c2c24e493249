#!/usr/bin/env bash
# Installs laz-perf (LAZ compiled to WebAssembly, from the npm registry) into build/lazperf, for
# scripts/check-laz.py and bench/laz_benchmark.py to decode LAZ independently of levelling-cloud
# and to time it. The programs never use it. Needs node and npm (Debian's nodejs, npm).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
if [ -d "$here/build/lazperf/node_modules/laz-perf" ]; then
  echo "install-lazperf: laz-perf present"
  exit 0
fi
if ! command -v npm > /dev/null; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends nodejs npm
fi
mkdir -p "$here/build/lazperf"
timeout 300 npm install --prefix "$here/build/lazperf" --no-audit --no-fund laz-perf@0.0.7
