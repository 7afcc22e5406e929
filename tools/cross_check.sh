#!/usr/bin/env bash
# Builds the C++ core checks for another architecture and runs them against
# the known answers of the float32 model (tests/core/known_answers.txt):
#   aarch64  cross-compiled with g++-aarch64-linux-gnu, run under qemu-aarch64
#   i386     compiled natively with g++ -m32 (SSE math, never x87)
# Usage: tools/cross_check.sh aarch64|i386 ...   (builds go to build/cross-*)
# Needs: g++-aarch64-linux-gnu, qemu-user; lib32stdc++-12-dev, libc6-dev-i386,
# lib32gcc-12-dev (.ci/run installs them). cmake and ninja from PyPI or the system.
set -euo pipefail
cd "$(dirname "$0")/.."

configure() {  # build dir, extra cmake arguments... (quiet unless it fails)
    local dir=$1
    shift
    mkdir -p "$dir"
    if ! { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
                 -DTESSARON_BUILD_CORE_TESTS=ON -DTESSARON_BUILD_MODULE=OFF "$@" &&
           cmake --build "$dir" --target test_core; } >"$dir/build.log" 2>&1; then
        cat "$dir/build.log"
        exit 1
    fi
}

for arch in "$@"; do
    case "$arch" in
        aarch64)
            configure build/cross-aarch64 -DCMAKE_SYSTEM_NAME=Linux \
                -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++
            echo "aarch64 (qemu-aarch64):"
            qemu-aarch64 -L /usr/aarch64-linux-gnu build/cross-aarch64/test_core
            ;;
        i386)
            # Debian's g++-multilib (which cannot be installed beside the
            # cross compiler) adds one thing the 32-bit libraries lack: the
            # kernel's asm headers at <asm/...>. A private link does the same.
            mkdir -p build/cross-i386/include
            ln -sfn /usr/include/x86_64-linux-gnu/asm build/cross-i386/include/asm
            configure build/cross-i386 "-DCMAKE_CXX_FLAGS=-m32 -idirafter $PWD/build/cross-i386/include"
            echo "i386 (g++ -m32):"
            build/cross-i386/test_core
            ;;
        *)
            echo "unknown architecture: $arch (aarch64 or i386)" >&2
            exit 2
            ;;
    esac
done
