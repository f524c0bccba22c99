# Sourced by the scripts that run the host on the built tree. Sets `root`
# (the checkout), `build` (QZ_BUILD, else build/) and `py27` (the host), and
# offers qz_pythonpath, which exports the host's module path: its arguments
# in order, where "tree" and "testtree" name the build's run trees, "deps"
# the project's Python 2.7 packages and anything else a folder of the
# checkout; whatever PYTHONPATH the caller had comes last.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QZ_BUILD:-$root/build}
py27=$("$root/tools/python27")

qz_pythonpath() {
  local part dirs=()
  for part in "$@"; do
    case $part in
      tree | testtree) dirs+=("$build/$part") ;;
      deps) dirs+=("$root/.deps/py27") ;;
      *) dirs+=("$root/$part") ;;
    esac
  done
  local IFS=:
  export PYTHONPATH="${dirs[*]}${PYTHONPATH:+:$PYTHONPATH}"
}
