#!/usr/bin/env bash
# Installs what bench/cloud_benchmark.sh needs beyond the build: Debian's Open3D for Python
# (which brings NumPy), the comparison the benchmark runs levelling-cloud against. Nothing else
# uses it.
set -euo pipefail
if /usr/bin/python3 -c 'import open3d, numpy' 2>/dev/null; then
  echo "install-bench-deps: open3d present"
  exit 0
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends python3-open3d
