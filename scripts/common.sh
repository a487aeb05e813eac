# Shared by scripts/demo and scripts/test: installs missing Debian packages
# and configures and builds a build folder.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

PACKAGES=(build-essential cmake pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg libssl-dev libisal-dev
  libgtest-dev googletest clang libclang-rt-14-dev xvfb)

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

# build DIR [cmake options...]
build() {
  local dir="$1"; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
  fi
  cmake --build "$dir" -j"$(nproc)" 2>&1 | grep -v -E '^\[ *[0-9]+%\]|^-- ' || true
  test "${PIPESTATUS[0]}" -eq 0
}
