#!/usr/bin/env bash
# Fails if any of the given ELF files (the extension module, the core checks
# of any architecture) holds a fused multiply-add instruction: results are
# only exact if every product is rounded before it is added. Compiler flags
# that forbid contraction are not trusted on their own; the code is read.
# Usage: tools/check_no_fma.sh FILE...
set -euo pipefail

# Mnemonics of the fused operations: x86 FMA3/FMA4 (vfmadd231ss,
# vfnmsub132ps, vfmaddsub..., vfmaddss) and AArch64 scalar and vector forms.
X86_FMA='	vfn?m(add|sub)[0-9a-z]*[[:space:]]'
ARM_FMA='	(fn?madd|fn?msub|fmla|fmls)[[:space:]]'

machine() {  # e_machine of an ELF file: x86-64, i386 or aarch64
    case "$(od -An -tu2 -j18 -N2 "$1" | tr -d ' ')" in
        62) echo x86-64 ;;
        3) echo i386 ;;
        183) echo aarch64 ;;
        *) echo unknown ;;
    esac
}

fused_instructions() {  # file: the fused instructions found, one a line
    case "$(machine "$1")" in
        x86-64 | i386) objdump -d --no-show-raw-insn "$1" | grep -E "$X86_FMA" || true ;;
        aarch64) aarch64-linux-gnu-objdump -d --no-show-raw-insn "$1" | grep -E "$ARM_FMA" || true ;;
        *) echo "$1: not an x86 or AArch64 ELF file" >&2; exit 2 ;;
    esac
}

# The patterns must find what they look for: a contracted a * b + c first.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'float f(float a, float b, float c) { return a * b + c; }' > "$probe/fma.c"
gcc -O2 -mfma -ffp-contract=fast -c "$probe/fma.c" -o "$probe/x86.o"
[ -n "$(fused_instructions "$probe/x86.o")" ] || { echo "the x86 pattern misses FMA" >&2; exit 2; }
for file in "$@"; do
    if [ "$(machine "$file")" = aarch64 ]; then
        aarch64-linux-gnu-gcc -O2 -ffp-contract=fast -c "$probe/fma.c" -o "$probe/arm.o"
        [ -n "$(fused_instructions "$probe/arm.o")" ] ||
            { echo "the AArch64 pattern misses FMA" >&2; exit 2; }
        break
    fi
done

status=0
for file in "$@"; do
    found=$(fused_instructions "$file")
    if [ -n "$found" ]; then
        echo "$file ($(machine "$file")): fused multiply-add instructions:"
        echo "$found" | head -5
        status=1
    else
        echo "$file ($(machine "$file")): no fused multiply-add"
    fi
done
exit $status
