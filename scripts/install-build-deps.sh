#!/usr/bin/env bash
# What building both programs and running every test needs, from Debian's packages: the README's
# test command runs this first. (procps: the process tests signal the program with pkill; liblzf:
# PCD's compressed data; libexpat1-dev: E57's XML; libpng: the deviation map; nlohmann-json3-dev: JSON camera files;
# libnanoflann-dev: the k-d tree of the plane search's sample;
# help2man and man-db: the manual page, made and shown; pybind11, python3-dev, numpy, pytest and
# Dask: the Python module and its tests.)
set -euo pipefail
"$(dirname "$0")/install-packages.sh" \
  cmake make g++ \
  libgtest-dev procps \
  libcli11-dev liblzf-dev libexpat1-dev libpng-dev nlohmann-json3-dev libnanoflann-dev help2man man-db \
  pybind11-dev python3-dev python3-numpy python3-pytest python3-dask python3-distributed
