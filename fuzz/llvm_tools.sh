# Sourced by fuzz/run.sh and fuzz/coverage.sh: finds clang++ and the LLVM
# tools of the same version, whichever version the system has (Debian 12
# ships clang 14, Debian 13 clang 19; the unversioned clang and llvm
# packages link the default one into /usr/bin).

# fuzz_clang: the unversioned clang++ (what the fuzz preset uses), else the
# newest clang++-N on the PATH. Prints nothing when there is none.
fuzz_clang() {
  if command -v clang++ >/dev/null; then
    command -v clang++
  else
    compgen -c clang++- | grep -E '^clang\+\+-[0-9]+$' | sort -t- -k2 -n | tail -n 1 || true
  fi
}

# llvm_tool NAME [COMPILER]: the LLVM tool NAME that belongs to COMPILER
# (beside the file the compiler resolves to, e.g. /usr/lib/llvm-19/bin),
# else NAME on the PATH, else the newest /usr/lib/llvm-N/bin/NAME. Profiles
# and coverage maps are read only by the tools of the compiler's version.
# Prints nothing when there is none.
llvm_tool() {
  local name=$1 compiler=${2:-} path dir
  if [ -n "$compiler" ] && path=$(command -v "$compiler"); then
    dir=$(dirname "$(readlink -f "$path")")
    if [ -x "$dir/$name" ]; then
      echo "$dir/$name"
      return
    fi
  fi
  command -v "$name" && return
  ls -d /usr/lib/llvm-*/bin/"$name" 2>/dev/null | sort -V | tail -n 1 || true
}
