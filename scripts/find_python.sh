# Sourced by the set-up scripts. find_python X.Y prints the path of a Python
# X.Y interpreter: python X.Y on PATH, else pyenv's; the caller names itself
# in the error as its second argument.
find_python() {
  local version=$1 who=$2 candidate
  if command -v "python$version" >/dev/null 2>&1 &&
     "python$version" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$version'" 2>/dev/null; then
    command -v "python$version"; return
  fi
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version"; do
    [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  echo "$who: no Python $version found (python$version on PATH or pyenv $version.*)" >&2
  exit 1
}
