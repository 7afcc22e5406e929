#!/usr/bin/env bash
# Builds the extension and the C++ core checks with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the core checks and the whole pytest
# suite against that build. Exits non-zero if a test fails or a sanitizer
# reports anything that involves this project's code.
#
#   tools/sanitize.sh [pytest arguments...]     e.g. tools/sanitize.sh -x -k fuzz
#
# Environment: BUILD (default build/sanitize), PYTHON (default python3),
# CXX (the compiler; its own sanitizer runtimes are preloaded).
#
# How the interpreter runs here:
# - The interpreter itself is not instrumented, so the ASan and UBSan
#   runtimes are preloaded (LD_PRELOAD) before it starts. Child processes
#   started by the tests inherit this environment and are checked as well.
# - PYTHONMALLOC=malloc sends every Python object through malloc, so ASan
#   sees a use of a freed Sdf, array or argument object, and LeakSanitizer
#   can follow pointers held inside Python objects.
# - Leak checking stays on, but the interpreter deliberately leaves memory
#   behind at exit. Every report is written to a log file (log_path) and a
#   leak counts only if its allocation stack passes through this project's
#   sources or the extension module; the rest is summarised as interpreter
#   noise. Any other ASan error and any UBSan report always counts.
# - A leak report does not change a process's exit status (exitcode=0), so
#   tests that check a child's status see only real failures; every other
#   error aborts the process (abort_on_error=1) and fails its test.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD:-build/sanitize}
PYTHON=$(command -v "${PYTHON:-python3}")
PYTHON=$("$PYTHON" -c 'import sys; print(sys.executable)')  # not a version-manager shim
CXX=${CXX:-c++}
export CXX
start=$SECONDS

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARON_SANITIZE=ON \
      -DTESSARON_BUILD_CORE_TESTS=ON -DPython_EXECUTABLE="$PYTHON" >/dev/null || exit 2
ninja -C "$BUILD" >/dev/null || { ninja -C "$BUILD"; exit 2; }

LOGS=$(mktemp -d "${TMPDIR:-/tmp}/sanitize.XXXXXX")
RUNTIMES="$("$CXX" -print-file-name=libasan.so) $("$CXX" -print-file-name=libubsan.so)"
COMMON=log_path=$LOGS/report:exitcode=0:abort_on_error=1
status=0

echo "== C++ core checks (every leak counts)"
ASAN_OPTIONS="$COMMON:detect_leaks=1" UBSAN_OPTIONS="$COMMON:print_stacktrace=1" \
    "$BUILD/test_core" || status=1

run_suite() {
    LD_PRELOAD="$RUNTIMES" PYTHONMALLOC=malloc PYTHONPATH="$ROOT/$BUILD" \
    ASAN_OPTIONS="$COMMON:detect_leaks=1:malloc_context_size=40" \
    UBSAN_OPTIONS="$COMMON:print_stacktrace=1:halt_on_error=1" \
        "$PYTHON" -c 'import sys, tessaron, pytest
assert tessaron.__file__.startswith(sys.argv[1]), tessaron.__file__
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "tests"] + sys.argv[2:]))' \
        "$ROOT/$BUILD" "$@"
}

echo "== pytest against $BUILD"
run_suite "$@"
suite=$?
# LeakSanitizer's own tracer now and then crashes while it stops the
# threads for its scan at exit ("LeakSanitizer has encountered a fatal
# error"), after every test has run: the tool failed, not the code, so
# its log is set aside and the suite runs again (at most twice more).
TOOL_FAILED="LeakSanitizer has encountered a fatal error"
for retry in 1 2; do
    [ $suite -ne 0 ] && grep -qs "$TOOL_FAILED" "$LOGS"/report.* || break
    mkdir -p "$LOGS.tool-failures"
    grep -ls "$TOOL_FAILED" "$LOGS"/report.* | xargs mv -t "$LOGS.tool-failures"
    echo "== LeakSanitizer failed in its own exit scan (logs in $LOGS.tool-failures): run $((retry + 1))"
    run_suite "$@"
    suite=$?
done
[ $suite -eq 0 ] || status=1

# Sort the reports: a leak block is one "Direct/Indirect leak" paragraph.
"$PYTHON" - "$LOGS" "$ROOT" <<'EOF' || status=1
import pathlib, re, sys
logs, root = pathlib.Path(sys.argv[1]), sys.argv[2]
ours = re.compile(re.escape(root) + r"/src/|tessaron\.abi3\.so|test_core")
counted, noise = [], 0
for log in sorted(logs.iterdir()):
    text = log.read_text(errors="replace")
    for block in re.split(r"\n(?==+\n==\d+==ERROR)", text):
        if "LeakSanitizer" not in block:
            counted.append((log.name, block)) if block.strip() else None
            continue
        for leak in re.split(r"\n(?=(?:Direct|Indirect) leak of)", block):
            if re.match(r"(Direct|Indirect) leak of", leak):
                if ours.search(leak):
                    counted.append((log.name, leak))
                else:
                    noise += 1
for name, report in counted:
    print(f"--- {name}\n{report.strip()}\n")
print(f"sanitizer reports involving this project: {len(counted)}; "
      f"interpreter leaks at exit ignored: {noise} (logs in {logs})")
sys.exit(1 if counted else 0)
EOF
echo "sanitize.sh: $((SECONDS - start)) s, exit status $status"
exit $status
