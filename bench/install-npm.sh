#!/usr/bin/env bash
# install-npm.sh PACKAGE@VERSION FOLDER: installs one package from the npm registry into
# build/FOLDER (once), for the checks and benchmarks that run another tool's reader; the
# programs never use it. Installs Debian's nodejs and npm first where npm is missing.
set -euo pipefail
package="$1"
here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="$here/build/$2"
if [ -d "$prefix/node_modules/${package%@*}" ]; then
  echo "install-npm: ${package%@*} present"
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
mkdir -p "$prefix"
timeout 300 npm install --prefix "$prefix" --no-audit --no-fund "$package"
