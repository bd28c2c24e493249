#!/usr/bin/env bash
# Installs web-e57 (an E57 reader compiled to WebAssembly, from the npm registry) into
# build/e57reader, for scripts/check-scans.py to read E57 files independently of
# levelling-cloud (bench/e57_read.mjs). The programs never use it. Needs node and npm.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
if [ -d "$here/build/e57reader/node_modules/web-e57" ]; then
  echo "install-e57-reader: web-e57 present"
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
mkdir -p "$here/build/e57reader"
timeout 300 npm install --prefix "$here/build/e57reader" --no-audit --no-fund web-e57@1.2.0
