#!/usr/bin/env bash
# Installs the Debian packages that building, testing and checking levelling need, skipping
# those already installed. Run as root or with sudo available.
set -euo pipefail

packages=(
  cmake make g++          # the build
  libgtest-dev            # the tests
  clang libclang-rt-14-dev  # the fuzzer and its sanitizer runtimes
  valgrind                # memory checks of the program
  libbenchmark-dev        # the benchmark
  libcli11-dev            # option parsing of levelling-cloud
  g++-mingw-w64-x86-64 wine64  # .ci/run's Windows build and its transcripts under wine
  g++-aarch64-linux-gnu qemu-user-static  # .ci/run's aarch64 build under qemu
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
