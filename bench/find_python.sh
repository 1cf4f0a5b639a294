#!/bin/sh
# Prints the path of a working CPython X.Y (default 3.12), for the set-up in
# bench/README.md: pythonX.Y on PATH if it runs (a pyenv shim for a version
# that is not selected does not), else pyenv's installation of that version,
# else the usual install locations.
want=${1:-3.12}
if command -v "python$want" >/dev/null 2>&1 && "python$want" -c pass >/dev/null 2>&1; then
    command -v "python$want"
    exit 0
fi
if command -v pyenv >/dev/null 2>&1; then
    prefix=$(pyenv prefix "$want" 2>/dev/null | head -n 1)
    if [ -n "$prefix" ] && [ -x "$prefix/bin/python$want" ]; then
        echo "$prefix/bin/python$want"
        exit 0
    fi
fi
for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$want".*/bin/python"$want" \
                 /usr/local/bin/python"$want" /usr/bin/python"$want"; do
    if [ -x "$candidate" ] && "$candidate" -c pass >/dev/null 2>&1; then
        echo "$candidate"
        exit 0
    fi
done
echo "find_python.sh: no working python$want found" >&2
exit 1
