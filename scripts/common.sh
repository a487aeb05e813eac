# Shared by the scripts in scripts/: installs missing Debian packages,
# configures and builds a build folder, and sets up the environment the
# sanitizer builds and the client's window need.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

PACKAGES=(build-essential cmake pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg libssl-dev openssl libisal-dev
  libgtest-dev googletest clang libclang-rt-14-dev xvfb ccache)

ensure_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# build DIR [cmake options...] [-- targets...]: configures DIR the first
# time, then builds everything or the given targets, showing only what the
# compiler and linker say.
build() {
  local dir="$1"; shift
  local options=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
  if [ $# -gt 0 ]; then
    shift
    targets=(--target "$@")
  fi
  # ccache keeps compiled objects across build folders and clones (paths
  # under the clone are hashed relative to it), so a fresh clone of code
  # already built costs little more than linking.
  export CCACHE_BASEDIR="$ROOT"
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$dir" -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
      "${options[@]}" >/dev/null
  fi
  cmake --build "$dir" -j"$(nproc)" "${targets[@]}" 2>&1 | grep -v -E '^\[ *[0-9]+%\]|^-- ' || true
  test "${PIPESTATUS[0]}" -eq 0
}

# AddressSanitizer and UndefinedBehaviorSanitizer stop at the first report;
# leaks inside uninstrumented system libraries are suppressed.
sanitizer_env() {
  export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  export LSAN_OPTIONS=suppressions=$ROOT/tests/lsan.supp
}

# The build folder the client scripts use (VELT_BUILD_DIR: another than
# build/), and the private runtime folder Qt wants (a root shell often has none).
client_env() {
  BUILD="${VELT_BUILD_DIR:-$ROOT/build}"
  export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-/tmp/runtime-$(id -u)}"
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
}
