#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Idempotent: packages already present are left alone, so a second run is
# quick and changes nothing. Must run as root (CI does) or through sudo.
# llvm-14 brings the symbolizer that names the functions in sanitizer reports
# (the test presets point the sanitizers at it); clang-format-14 and
# clang-tidy-14 keep the sources' layout and checks (scripts/lint.sh); locales brings localedef and
# the sources the locale tests build from. velmar's live view is served with
# Boost.Beast (libboost-dev), shows three.js from libjs-three, and is tested
# and photographed in headless chromium. The Windows build of the link's lower
# half and velmar (the `windows` preset) is cross-compiled with MinGW-w64 (the
# posix thread model, for std::thread) and its tests run under Wine;
# GoogleTest is built for it from Debian's sources in /usr/src/googletest
# (libgtest-dev), and velmar there reads and writes images with stb
# (libstb-dev) and uses the same header-only JSON and CLI11 as on Linux.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git python3
  clang libclang-rt-14-dev llvm-14 clang-format-14 clang-tidy-14
  libgtest-dev libgmock-dev libbenchmark-dev
  libtbb-dev libpng-dev libjpeg62-turbo-dev libassimp-dev
  nlohmann-json3-dev libcli11-dev libedit-dev
  tmux xdg-utils procps
  opencollada-tools assimp-utils
  locales
  libboost-dev libjs-three chromium
  g++-mingw-w64-x86-64-posix wine wine64 libz-mingw-w64-dev libstb-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
