# Shared by the scripts: where things are, and how to find the interpreter.
# Sourced, not run.

NORVANE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
NORVANE_BUILD_DIR="${NORVANE_BUILD_DIR:-$NORVANE_ROOT/build}"

die() { echo "${0##*/}: error: $*" >&2; exit 1; }
say() { echo "${0##*/}: $*" >&2; }

# The interpreter the modules are built for: $PYTHON when set, else a
# python3.12 that actually runs (pyenv's shim refuses to when 3.12 is not the
# selected version), else pyenv's newest 3.12.
find_python() {
  if [[ -n "${PYTHON:-}" ]]; then
    "$PYTHON" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null \
      || die "PYTHON=$PYTHON is not a working Python 3.12 interpreter"
    echo "$PYTHON"; return
  fi
  local cand
  if cand="$(command -v python3.12)" && "$cand" -c 'import sys' >/dev/null 2>&1; then
    "$cand" -c 'import sys; print(sys.executable)'; return
  fi
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v="$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12\.[0-9]+$' | sort -t. -k3 -n | tail -n1 || true)"
    if [[ -n "$v" ]]; then
      cand="$(pyenv root)/versions/$v/bin/python3.12"
      [[ -x "$cand" ]] && { echo "$cand"; return; }
    fi
  fi
  die "no Python 3.12 found. Set PYTHON=/path/to/python3.12, or install CPython 3.12 with its headers (for instance 'pyenv install 3.12')"
}
