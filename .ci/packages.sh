# Sourced by the CI legs: installs Debian packages only when what they
# provide is missing, so a prepared machine is left alone.
#
#   need_packages TEST PACKAGE [TEST PACKAGE ...]
#
# TEST is a command name or an absolute path; when it is missing, PACKAGE is
# installed.
need_packages() {
  local missing=()
  while [ $# -ge 2 ]; do
    local test=$1 package=$2
    shift 2
    if [[ $test == /* ]]; then
      compgen -G "$test" >/dev/null || missing+=("$package")
    else
      command -v "$test" >/dev/null || missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" </dev/null
  fi
}

# Sanitizer settings shared by the sanitizer and fuzz legs: every finding
# aborts the process.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# The clang toolchain with its sanitizer and libFuzzer runtimes.
need_clang() {
  need_packages clang++ clang \
    "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" libclang-rt-14-dev
}

# The programs the package carries, and every file it installs below PREFIX
# (./usr in the package, . in an install tree), sorted.
ZMRGEN_PROGRAMS="zmrbatch zmrcheck zmrgen"
package_files() {
  local prefix=$1 program
  {
    for program in $ZMRGEN_PROGRAMS; do
      echo "$prefix/bin/$program"
      echo "$prefix/share/man/man1/$program.1.gz"
    done
    echo "$prefix/share/doc/zmrgen/changelog.gz"
    echo "$prefix/share/doc/zmrgen/copyright"
  } | sort
}
