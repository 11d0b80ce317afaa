#!/usr/bin/env bash
# Prints the interpreter the project builds with: a working CPython 3.13 wherever it is (on
# PATH, or installed by pyenv, whose python3.13 shim fails while another version is
# selected), else python3. Nothing is printed when there is none.
works() { "$1" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }
candidates=(python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13)
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for dir in $(ls -d "$root"/versions/3.13* 2>/dev/null | sort -rV); do candidates+=("$dir/bin/python3.13"); done
for p in "${candidates[@]}"; do
  if works "$p"; then command -v "$p"; exit 0; fi
done
for p in python3 /usr/bin/python3; do
  if "$p" -c 'import sys' >/dev/null 2>&1; then command -v "$p"; exit 0; fi
done
