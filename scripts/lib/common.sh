# Shared by the scripts: where things are, and installing what a fresh
# Debian 12 machine lacks.
set -euo pipefail

KESTRIX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export KESTRIX_ROOT

# Installs the Debian packages that are missing; does nothing when all are there.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing ${missing[*]} ..." >&2
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# wixl and msitools: the native suite builds the Windows Installer package
# from stand-in files and reads its tables back.
ensure_build_tools() {
  ensure_packages cmake ninja-build g++ ccache libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev \
    libutfcpp-dev libjpeg-dev libssl-dev wixl msitools
}

# The Windows cross build and what runs its programs here: mingw-w64, Wine,
# an X server for the windows, and a CJK font so Chinese text shows; the
# end-to-end suite also inspects and drives the windows (x11-utils, xdotool)
# and reads its screenshots (ImageMagick) from pytest cases (python3-pytest);
# python3 reads JSON reports, and unzip unpacks the release. osslsigncode
# signs the programs and the Windows Installer package (wixl, msitools), and
# openssl makes the tests' throw-away certificate.
ensure_windows_tools() {
  ensure_build_tools
  ensure_packages g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 xvfb xauth fonts-wqy-microhei \
    imagemagick x11-utils xdotool python3 python3-pytest locales unzip wixl msitools osslsigncode openssl
  ensure_chinese_locales
}

# Wine takes its ANSI code page from the locale (zh_CN 936, zh_TW 950), and
# reads file names right only where the locale exists on the host.
ensure_chinese_locales() {
  local locale
  for locale in zh_CN zh_TW; do
    locale -a 2>/dev/null | grep -qx "$locale.utf8" && continue
    echo "Generating the $locale.UTF-8 locale ..." >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
  done
}

# Configures and builds the native programs and tests (or only the targets named).
build_native() {
  ensure_build_tools
  cd "$KESTRIX_ROOT"
  cmake --preset release >/dev/null
  cmake --build --preset release ${1:+--target "$@"}
}

# Configures and builds the Windows programs and tests (or only the targets named).
build_windows() {
  ensure_windows_tools
  cd "$KESTRIX_ROOT"
  cmake --preset windows >/dev/null
  cmake --build --preset windows ${1:+--target "$@"}
}

# clang with libFuzzer and the sanitizer runtimes, for fuzz/run-fuzzers.
ensure_fuzz_tools() {
  ensure_build_tools
  ensure_packages clang libclang-rt-14-dev libfuzzer-14-dev
}
