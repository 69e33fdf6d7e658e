#!/bin/sh
# Prints the path of the Python 3.13 interpreter to use: $PYTHON when set
# (and refused unless it is 3.13), else python3.13 on PATH, else a pyenv or
# system installation.  The machine's default python3 may be another minor
# version and is never used.
is_313() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }

if [ -n "${PYTHON:-}" ]; then
  if is_313 "$PYTHON"; then command -v "$PYTHON"; exit 0; fi
  echo "find-python313: PYTHON=$PYTHON is not a working Python 3.13" >&2
  exit 1
fi
for candidate in python3.13 /root/.pyenv/versions/3.13.*/bin/python3.13 \
                 "$HOME"/.pyenv/versions/3.13.*/bin/python3.13 /usr/bin/python3.13 \
                 /usr/local/bin/python3.13; do
  if is_313 "$candidate"; then command -v "$candidate"; exit 0; fi
done
echo "find-python313: no working Python 3.13 found; set PYTHON=/path/to/python3.13" >&2
exit 1
