# Sourced by the test and bench scripts: sets `py` to the first python3 that
# has pytest (the end-to-end bed's modules import it, and a pyenv shim may
# shadow the system Python). Fails when there is none.
py=""
for cand in python3 /usr/bin/python3; do
    if "$cand" -c 'import pytest' >/dev/null 2>&1; then py=$cand; break; fi
done
if [ -z "$py" ]; then
    echo "no python3 with pytest found (scripts/setup.sh installs it)" >&2
    return 2 2>/dev/null || exit 2
fi
