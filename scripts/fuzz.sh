#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz/ (override with FUZZ_DIR) and
# runs each for SECONDS (default 15) on its committed corpus, fuzz/corpus/<name>,
# FUZZ_JOBS (default 2) at a time. Fails when any target finds a crash, a
# leak, a timeout or a memory blow-up; the input that did it is kept in
# OUTDIR (default $FUZZ_DIR/findings), the log beside it.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]    e.g. scripts/fuzz.sh 3600 fuzz_copy
#
# New inputs the runs find go to a scratch corpus, not to fuzz/corpus: copy
# the ones worth keeping there by hand (a crash's input, once fixed).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-15}"
shift || true
FUZZ_DIR="${FUZZ_DIR:-build-fuzz}"
FUZZ_JOBS="${FUZZ_JOBS:-2}"
OUTDIR="${OUTDIR:-$FUZZ_DIR/findings}"

# name and the longest input it takes
declare -A max_len=(
  [fuzz_partition]=262144 [fuzz_bootrec]=512 [fuzz_fat]=131072 [fuzz_ntfs_scan]=262144
  [fuzz_copy]=262145 [fuzz_mft]=65536 [fuzz_attributes]=65540 [fuzz_lznt1]=65537
  [fuzz_load_scan]=65536 [fuzz_finder]=4096
)
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(fuzz_partition fuzz_bootrec fuzz_fat fuzz_ntfs_scan fuzz_copy fuzz_mft fuzz_attributes
           fuzz_lznt1 fuzz_load_scan fuzz_finder)
fi
for t in "${targets[@]}"; do
  [[ -n "${max_len[$t]:-}" ]] || { echo "fuzz: no target $t" >&2; exit 2; }
done

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is not installed; the fuzz targets are not run" >&2
  exit 0
fi
cmake -S . -B "$FUZZ_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DRETROVA_GUI=OFF -DRETROVA_BENCH=OFF -DRETROVA_TESTS=OFF >/dev/null
cmake --build "$FUZZ_DIR" -j"$(nproc)" --target "${targets[@]}"

root="$(pwd)"
mkdir -p "$OUTDIR"
OUTDIR="$(cd "$OUTDIR" && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# One target: its scratch corpus first (new inputs go there), the committed
# one read only. Paths are absolute: fuzz_copy works in folders of its own.
run_one() {
  local t="$1" name="${1#fuzz_}"
  mkdir -p "$scratch/$name"
  local log="$OUTDIR/$t.log"
  # The wall-clock bound catches a run that hangs outside libFuzzer's own timeouts.
  if timeout --kill-after=10 $((seconds + 120)) "$root/$FUZZ_DIR/fuzz/$t" "$scratch/$name" "$root/fuzz/corpus/$name" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="${max_len[$t]}" \
      -print_final_stats=1 -artifact_prefix="$OUTDIR/$t-" >"$log" 2>&1; then
    echo "fuzz: $t: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs, nothing found"
  else
    echo "fuzz: $t FOUND A FAULT (log $log):" >&2
    grep -m1 -A12 -E '^==[0-9]+==ERROR|SUMMARY|runtime error|deadly signal|Timeout|out-of-memory' "$log" >&2 || tail -20 "$log" >&2
    return 1
  fi
}
export -f run_one
export seconds root FUZZ_DIR OUTDIR scratch
export max_len_decl="$(declare -p max_len)"

failed=0
printf '%s\n' "${targets[@]}" |
  xargs -P "$FUZZ_JOBS" -I{} bash -c 'eval "$max_len_decl"; run_one "$1"' _ {} || failed=1
if ((failed)); then
  echo "fuzz: a target found a fault; its input is in $OUTDIR" >&2
  exit 1
fi
