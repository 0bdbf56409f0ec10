#!/usr/bin/env bash
# Builds every fuzz target with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a given time.
#
#   bash fuzz/run.sh [SECONDS_PER_TARGET] [TARGET ...]
#
# Targets: features font json run (default: all). Working corpora live in
# build/fuzz/corpus/TARGET, seeded from fuzz/seeds/TARGET; inputs that crash
# are written to fuzz/regressions/TARGET/, which the normal test build replays.
# A line per run (executions, time, peak memory) is appended to
# build/fuzz/summary.txt. A target that finds a fault stops; the others still
# run, and the script exits 1.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
SECONDS_PER_TARGET="${1:-60}"
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(features font json run)

source "$ROOT/tools/apt_need.sh"
apt_need clang libclang-rt-14-dev libharfbuzz-dev libicu-dev pkg-config

OUT="$ROOT/build/fuzz"
mkdir -p "$OUT"
FLAGS=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
  -fno-omit-frame-pointer -I"$ROOT/src" -I"$ROOT/fuzz")
ENGINE=()
# The engine without its Python surfaces, and the port state linked in.
for f in src/{abi,base,font,text,json,shape,trace,output,compat}/*.cpp; do
  case "$f" in src/compat/module.cpp | src/python/engine_module.cpp) ;; *) ENGINE+=("$f") ;; esac
done

build() {
  local target="$1"
  local extra=()
  if [ "$target" = run ]; then
    extra=(vantor/*.cpp vantor/*/*.cpp -I"$ROOT/vantor" -I"$ROOT/vantor/itemize" -I"$ROOT/vantor/shape" -I"$ROOT/vantor/trace" $(pkg-config --cflags --libs harfbuzz icu-uc))
  fi
  echo "== building ${target}_fuzzer"
  clang++ "${FLAGS[@]}" "fuzz/${target}_fuzzer.cpp" "${ENGINE[@]}" "${extra[@]}" -ldl -o "$OUT/${target}_fuzzer"
}

# Dictionaries: sfnt tags for the font readers and the backend, syntax for
# the feature parser.
dict_for() {
  case "$1" in
    font | run) echo "-dict=$ROOT/fuzz/sfnt.dict" ;;
    features) echo "-dict=$ROOT/fuzz/features.dict" ;;
  esac
}

status=0
SUMMARY="$OUT/summary.txt"
for target in "${TARGETS[@]}"; do
  build "$target"
  corpus="$OUT/corpus/$target"
  mkdir -p "$corpus" "fuzz/regressions/$target"
  max_len=4096
  [ "$target" = run ] && max_len=65536
  echo "== running ${target}_fuzzer for ${SECONDS_PER_TARGET}s"
  started=$(date +%s)
  if ! "$OUT/${target}_fuzzer" "$corpus" "fuzz/seeds/$target" -max_total_time="$SECONDS_PER_TARGET" \
    -max_len="$max_len" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 $(dict_for "$target") \
    -artifact_prefix="fuzz/regressions/$target/" 2>"$OUT/$target.log"; then
    echo "!! ${target}_fuzzer found a fault; see $OUT/$target.log and fuzz/regressions/$target/"
    tail -n 40 "$OUT/$target.log"
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$OUT/$target.log" | tail -n 1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$OUT/$target.log" | tail -n 1)
  line="$(date -u +%FT%TZ) $target: ${execs:-?} executions in $(($(date +%s) - started)) s, peak RSS ${rss:-?} MB, corpus $(ls "$corpus" | wc -l) inputs"
  echo "$line" | tee -a "$SUMMARY"
done
exit "$status"
