#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# Usage: scripts/install-deps.sh [native|windows|fuzz|all]...
set -euo pipefail

want=(cmake ninja-build g++ libgtest-dev libgmock-dev googletest libbenchmark-dev)
for kind in "$@"; do
    case "$kind" in
        # oneTBB and Boost.Fiber: the peers of the job system's benchmark program.
        native|all) want+=(libtbb-dev libboost-fiber-dev libboost-context-dev) ;;&
        windows|all) want+=(wine64 g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev) ;;&
        fuzz|all) want+=(clang libclang-rt-14-dev) ;;
    esac
done

missing=()
for pkg in "${want[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=""
    [[ $(id -u) -ne 0 ]] && sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
