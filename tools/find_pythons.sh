#!/usr/bin/env bash
# Prints every CPython 3.11 or later found here, one per minor version, one per line: those
# pyenv installed, then python3.X on PATH. pyenv's shims are skipped (a shim fails while
# another version is selected); an interpreter that cannot make a venv is skipped too, as
# the wheel check needs one.
declare -A seen
consider() {
  local v
  v=$("$1" -c 'import sys, venv, ensurepip
if sys.implementation.name == "cpython" and sys.version_info >= (3, 11): print("%d.%d" % sys.version_info[:2])' 2>/dev/null) || return
  [ -n "$v" ] && [ -z "${seen[$v]}" ] || return
  seen[$v]=1
  echo "$1"
}
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for dir in $(ls -d "$root"/versions/3.1[1-9]* 2>/dev/null | sort -rV); do
  [ -x "$dir/bin/python3" ] && consider "$dir/bin/python3"
done
for minor in 11 12 13 14 15 16 17 18 19; do
  for p in $(type -ap python3.$minor 2>/dev/null); do
    case "$p" in */shims/*) continue ;; esac
    consider "$p"
  done
done
