#!/usr/bin/env bash
# Runs a subset of the Python tests under valgrind memcheck, with the installed module and
# the bundled backend, and fails on any memory error, or any definite leak, whose stack
# passes through the module (_tesvo) or the bundled backend (libvantor). Errors of the
# interpreter itself are not counted.
#
#   bash tools/memcheck.sh [PYTEST ARGS...]
#
# Environment: PYTHON (default .venv/bin/python, which must have the module installed),
# TESVO_TEST_BACKENDS_DIR (default build/tests/tests/backends, as tools/test.sh builds it).
# The logs go to build/memcheck/.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PYTHON="${PYTHON:-$ROOT/.venv/bin/python}"
export TESVO_TEST_BACKENDS_DIR="${TESVO_TEST_BACKENDS_DIR:-$ROOT/build/tests/tests/backends}"
OUT="$ROOT/build/memcheck"

if ! command -v valgrind >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
fi

# Tests that run in this process (children are not followed) and that do not time the
# engine: valgrind makes every call many times slower.
# The property tests run few examples (TESVO_HYPOTHESIS=short) and no long lines; the
# calls by the thousand are left to tools/leak_bench.py.
TESTS=("$@")
if [ ${#TESTS[@]} -eq 0 ]; then
  TESTS=(tests/python/test_shape_json_properties.py tests/python/test_backend_faults.py
    tests/python/test_tempfile_attacks.py tests/python/test_trace_bundled.py
    tests/python/test_run.py tests/python/test_document.py tests/python/test_features_e2e.py
    tests/python/test_trace.py tests/python/test_shape_json_arguments.py
    -k "not long_lines and not thousands_of_calls and not planted_ahead")
fi

rm -rf "$OUT"
mkdir -p "$OUT"
echo "== valgrind memcheck: ${TESTS[*]}"
status=0
# The interpreter's own allocator hides heap errors from valgrind: use malloc.
PYTHONMALLOC=malloc TESVO_HYPOTHESIS=short valgrind --tool=memcheck --error-exitcode=0 \
  --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --num-callers=50 --log-file="$OUT/valgrind.%p.log" --suppressions="$ROOT/tools/memcheck.supp" \
  "$PYTHON" -m pytest -q -p no:cacheprovider "${TESTS[@]}" || status=$?

report=0
"$PYTHON" - "$OUT" <<'EOF' || report=$?
import pathlib, re, sys
ours = re.compile(r"_tesvo[.\w]*\.so|libvantor\.so|tesvo::|vantor::|shape_json")
reports, ours_found = 0, []
for log in sorted(pathlib.Path(sys.argv[1]).glob("valgrind.*.log")):
    text = log.read_text(errors="replace")
    # Blocks are separated by lines that hold only the pid prefix.
    for block in re.split(r"\n==\d+== *\n", text):
        lines = [l for l in block.splitlines() if l.startswith("==")]
        if not lines:
            continue
        head = re.sub(r"^==\d+== ", "", lines[0])
        is_error = re.match(r"(Invalid |Conditional jump|Use of uninitialised|Syscall param|"
                            r"Mismatched free|Source and destination overlap|Argument|"
                            r"\S+ bytes in \S+ blocks are definitely lost)", head)
        if not is_error:
            continue
        reports += 1
        if ours.search(block):
            ours_found.append(f"{log.name}:\n" + "\n".join(lines))
    summary = re.findall(r"ERROR SUMMARY: (\d+) errors", text)
    print(f"{log.name}: valgrind error summary {summary[-1] if summary else '?'}")
print(f"memcheck: {reports} error reports in all, {len(ours_found)} in the module or the bundled backend")
for block in ours_found[:20]:
    print(block)
sys.exit(1 if ours_found else 0)
EOF
if [ "$status" -ne 0 ]; then
  echo "memcheck: the tests themselves failed under valgrind (exit $status)"
  exit "$status"
fi
exit "$report"
