#!/usr/bin/env bash
# What .ci/run's checks beyond the tests need, besides the build's own packages: clang and its
# sanitizer runtimes (the fuzzers), valgrind, Google Benchmark, and the cross-compilers with
# wine and qemu that run the demonstration's transcripts for Windows and aarch64; laz-perf, the
# LAZ reference decoder, and web-e57, an E57 reader (both npm), which the LAZ and E57 tests run on
# what this project writes.
set -euo pipefail
"$(dirname "$0")/install-build-deps.sh"
"$(dirname "$0")/install-packages.sh" \
  clang libclang-rt-14-dev \
  valgrind \
  libbenchmark-dev \
  g++-mingw-w64-x86-64 wine64 \
  g++-aarch64-linux-gnu qemu-user-static
"$(dirname "$0")/../bench/install-lazperf.sh"
"$(dirname "$0")/../bench/install-e57-reader.sh"
