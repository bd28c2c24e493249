#!/usr/bin/env bash
# Runs the demonstration for every expected transcript in tests/transcripts/ (the answers are in
# the file's name: answers_10_20_30.txt is 10, 20, 30) and compares what it prints, and its exit
# status (255: standard input is no terminal), with the transcript. For a program built for
# another platform: CR LF line ends count as LF, and a NaN's sign is ignored (x86-64 prints
# "-nan" where ARM and Windows print "nan").
#
# Usage: scripts/check-transcripts.sh <command that runs levelling-demo>...
#   e.g. scripts/check-transcripts.sh qemu-aarch64-static -L /usr/aarch64-linux-gnu build-aarch64/bin/levelling-demo
set -euo pipefail
cd "$(dirname "$0")/.."
normalise() { tr -d '\r' | sed 's/-nan/nan/g'; }
failed=0
checked=0
for transcript in tests/transcripts/answers_*.txt; do
  name=$(basename "$transcript" .txt)
  answers=${name#answers_}
  status=0
  printed=$(printf '%s\n' ${answers//_/ } | "$@" | normalise; exit "${PIPESTATUS[1]}") || status=$?
  if [ "$status" -ne 255 ] || [ "$printed" != "$(normalise < "$transcript")" ]; then
    echo "check-transcripts: $name: differs (exit status $status)"
    diff <(normalise < "$transcript") <(printf '%s\n' "$printed") | head -20 || true
    failed=$((failed + 1))
  fi
  checked=$((checked + 1))
done
echo "check-transcripts: $((checked - failed)) of $checked transcripts the same"
[ "$failed" -eq 0 ]
