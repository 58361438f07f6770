#!/usr/bin/env bash
# scripts/demo --once against the built programs, under an English-less C locale and a Chinese
# one: the scene prints Kilnview's whole address line, its status lines come in the locale's
# language, and it ends with both fans automatic on the device and Kilnview stopped cleanly.
#   tests/App/demo-scene.sh BINARY_DIR SOURCE_DIR      exit 0 passed, 1 failed, 77 skipped
set -uo pipefail
export LC_ALL=C.UTF-8  # for grep -P over UTF-8 text; the demo gets its own locale below
binary_dir=$1 source_dir=$2
[ "$(id -u)" -eq 0 ] || { echo "SKIPPED: the demo drives the fans as root"; exit 77; }
failures=0
check() { # description, then a command that must succeed
  local what=$1; shift
  if ! "$@"; then echo "FAILED: $what"; failures=$((failures + 1)); fi
}
no_han() { ! grep -qP '[\x{3400}-\x{9fff}]' "$1"; }

for locale in C zh_CN.UTF-8; do
  out=$(mktemp /tmp/pyrelle-demo-test-XXXXXX)
  (cd "$source_dir" && LANG=$locale LC_ALL= LANGUAGE= KILNVIEW_PORT=0 PYRELLE_BINARY_DIR=$binary_dir \
    timeout -k 10 150 scripts/demo --once) >"$out" 2>&1
  status=$?
  check "$locale: the demo exits with status 0 (was $status)" test "$status" -eq 0
  check "$locale: Kilnview's address line is passed through" grep -qE '^  Kilnview: http://127\.0\.0\.1:[0-9]+/' "$out"
  check "$locale: the curve was confirmed" grep -q '✓' "$out"
  # The scene's last device line, before Kilnview is stopped, shows both fans automatic.
  calm=$(sed -n '/The load falls/,/Stopping Kilnview/p' "$out" | grep 'the device:' | tail -1)
  check "$locale: the scene ends with the fans automatic ($calm)" \
    test "$(grep -o 'automatic' <<<"$calm" | wc -l)" -eq 2
  check "$locale: Kilnview stopped with status 0" grep -q 'Kilnview exit status 0' "$out"
  if [ "$locale" = C ]; then
    check "C: no Chinese in the demo's output" no_han "$out"
  else
    status_lines=$(sed -n '/A quiet machine/,/The load rises/p' "$out")
    check "zh_CN: the status lines are Chinese" grep -qP '[\x{4e00}-\x{9fff}]' <<<"$status_lines"
  fi
  [ "$failures" -eq 0 ] || { echo "--- demo output ($locale) ---"; cat "$out"; }
  rm -f "$out"
  [ "$failures" -eq 0 ] || exit 1
done
echo PASSED
