# Sourced by the scripts that build against CPython 3.12 (asan_pytest.sh,
# build_python.sh): prints the interpreter to use, PYTHON312 when it is set,
# else the newest 3.12 under pyenv, else python3.12 on the PATH; nothing when
# there is none.
find_python312() {
  if [[ -n "${PYTHON312:-}" ]]; then echo "$PYTHON312"; return; fi
  local pyenv_root candidate
  pyenv_root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
  candidate="$(ls -d "$pyenv_root"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V | tail -n 1 || true)"
  [[ -n "$candidate" ]] || candidate="$(command -v python3.12 || true)"
  echo "$candidate"
}
