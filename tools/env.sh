# Sourced by the project's commands: provisions CPython 3.14, a virtual
# environment with the build and test tools, and the installed module.
#
#   VELUNQ_VENV   the environment to use (default: <repo>/.venv)
#   PYTHON        an existing CPython 3.14 to build the environment from

set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VELUNQ_VENV:-$ROOT/.venv}"

log() { printf '== %s\n' "$*" >&2; }

setup_env() {
  local python
  python="$("$ROOT/tools/provision-python")"
  if [[ ! -x "$VENV/bin/python" ]] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 14)' 2>/dev/null; then
    log "creating $VENV"
    rm -rf "$VENV"
    "$python" -m venv "$VENV"
  fi
  log "installing build and test tools"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "cmake>=3.24" ninja "pytest>=8" "hypothesis>=6"
  log "building and installing _velun_q"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -Cbuild-dir="$ROOT/build/release" "$ROOT"
  PY="$VENV/bin/python"
  export PATH="$VENV/bin:$PATH"
}
