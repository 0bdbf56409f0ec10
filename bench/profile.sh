#!/usr/bin/env bash
# Profiles shape_json on a long text with perf and prints where the time goes:
# the functions by their own time, then the engine's steps with what they call.
# Run bench/run.sh once first: it builds the module (with symbols) in build/bench/venv.
#
#   bash bench/profile.sh [KIND [LENGTH [CALLS]]]    # default: latin 100000 30
#   KIND is latin, arabic, devanagari or mixed; TRACE=1 profiles trace=True.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$ROOT/build/bench"
PY="$OUT/venv/bin/python"
KIND="${1:-latin}" LENGTH="${2:-100000}" CALLS="${3:-30}"
[ -x "$PY" ] || { echo "run bench/run.sh first" >&2; exit 2; }
command -v perf >/dev/null || { apt-get update -qq && apt-get install -y -qq linux-perf >/dev/null; }

TRACED=False
[ -n "${TRACE:-}" ] && TRACED=True
loop() {  # the Python program shaping the text $1 times
  echo "
import sys
sys.path.insert(0, '$ROOT/bench')
import _tesvo, texts
data = open(texts.FONTS['$KIND'], 'rb').read()
text = texts.make_text('$KIND', $LENGTH)
for _ in range($1):
    _tesvo.shape_json(data, text, trace=$TRACED)
"
}
cd "$OUT"
echo "== $KIND, $LENGTH code units, $CALLS calls${TRACE:+, traced}: functions by their own time"
perf record -q -F 1999 -o "$OUT/perf.self" -- "$PY" -c "$(loop "$CALLS")" 2>/dev/null
perf report -i "$OUT/perf.self" --no-children --sort dso,symbol --percent-limit 0.7 2>/dev/null \
  | grep -v '^#' | grep -v '^$' | cut -c1-120
echo
echo "== by library"
perf report -i "$OUT/perf.self" --no-children --sort dso --percent-limit 0.5 2>/dev/null | grep -v '^#' | grep -v '^$'
echo
echo "== the steps of a call, with what they call (a few calls, DWARF stacks)"
perf record -q -F 499 --call-graph dwarf,32768 -o "$OUT/perf.steps" -- "$PY" -c "$(loop $(( (CALLS + 3) / 4 )))" 2>/dev/null
perf report -i "$OUT/perf.steps" --children --sort symbol -g none 2>/dev/null | grep -v '^#' \
  | grep -E 'tesvo::shape_json|shape_value|render_json|unicode_decode_utf8|ScriptItemizeOpenType|ScriptShapeOpenType|ScriptPlaceOpenType|hb_shape_plan_execute|write_shape_outputs|item_glyphs|stage_glyphs|trace_lookups|Value::release|exc_page_fault|read_font_file|usp_set_font_bytes' \
  | cut -c1-100
