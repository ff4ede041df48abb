#!/usr/bin/env bash
# Compares `sharpstack stack` with enfuse used as a focus stacker on the same
# synthetic series: 10 RGB TIFF pictures at 6 and 24 megapixels, 8 and 16 bits.
# The two run alternately on the same files, each several times; the script
# prints every run's wall time, processor time (user + system, which a busy
# machine disturbs less) and peak memory (GNU time's maximum resident set size)
# and, per series, the ratios of the medians.
#
#   scripts/bench-vs-enfuse.sh [build-dir] [runs]
#
# build-dir holds bin/sharpstack, bin/Sharpstack.so and
# bin/sharpstack_write_series (default: build/bench, made by
# `cmake --preset bench && cmake --build --preset bench`); runs defaults to 3.
# Series are written once into $SERIES_DIR (default: build-dir/series) and kept.
# SIZES (default "6 24") and DEPTHS (default "8 16") narrow the set.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/bench}
runs=${2:-3}
bin=$build/bin
series_dir=${SERIES_DIR:-$build/series}
sizes=${SIZES:-6 24}
depths=${DEPTHS:-8 16}
frames=10

for tool in "$bin/sharpstack" "$bin/sharpstack_write_series"; do
  [[ -x $tool ]] || { echo "missing $tool (build the bench preset first)" >&2; exit 1; }
done
command -v enfuse >/dev/null || { echo "enfuse is not installed (on Debian: apt-get install enfuse)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "GNU time is not installed (on Debian: apt-get install time)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Wall seconds, processor seconds and peak resident kilobytes of one command.
measure() {
  local log=$work/time.log
  /usr/bin/time -v -o "$log" "$@" >/dev/null 2>"$work/stderr.log" || {
    echo "failed: $*" >&2
    cat "$work/stderr.log" >&2
    exit 1
  }
  local wall kb cpu
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$log")
  cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$log")
  kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
  # m:ss.ss or h:mm:ss to seconds.
  wall=$(awk -v t="$wall" 'BEGIN { n = split(t, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }')
  echo "$wall $cpu $kb"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The memory bandwidth of this machine now, beside which the times are read.
if [[ -x $bin/sharpstack_bench ]]; then
  "$bin/sharpstack_bench" --benchmark_filter=NONE 2>/dev/null | grep '^memcpy' || true
fi
printf '%-14s %-10s %4s %10s %10s %12s\n' series tool run seconds cpu_s peak_MB
for mp in $sizes; do
  case $mp in
    6) w=3000 h=2000 ;;
    24) w=6000 h=4000 ;;
    *) echo "unknown size $mp (6 or 24)" >&2; exit 1 ;;
  esac
  for depth in $depths; do
    name=${mp}MP-${depth}bit
    dir=$series_dir/$name
    if [[ ! -f $dir/frame_$(printf '%02d' $((frames - 1))).tif ]]; then
      mkdir -p "$dir"
      echo "writing series $name ..." >&2
      "$bin/sharpstack_write_series" "$dir" "$w" "$h" "$frames" "$depth"
    fi
    images=("$dir"/frame_*.tif)
    root=$work/root-$name
    mkdir -p "$root"
    : >"$work/ss.times"; : >"$work/ss.cpu"; : >"$work/ss.mem"
    : >"$work/ef.times"; : >"$work/ef.cpu"; : >"$work/ef.mem"
    for ((r = 1; r <= runs; r++)); do
      read -r s c kb < <(measure "$bin/sharpstack" --quiet --root "$root" stack \
        -o "$work/sharpstack.tif" "${images[@]}")
      echo "$s" >>"$work/ss.times"; echo "$c" >>"$work/ss.cpu"; echo "$kb" >>"$work/ss.mem"
      printf '%-14s %-10s %4d %10.2f %10.2f %12.1f\n' "$name" sharpstack "$r" "$s" "$c" "$(echo "$kb / 1024" | bc -l)"
      read -r s c kb < <(measure enfuse --exposure-weight=0 --saturation-weight=0 \
        --contrast-weight=1 --hard-mask --contrast-window-size=5 --gray-projector=l-star \
        --depth="$depth" -o "$work/enfuse.tif" "${images[@]}")
      echo "$s" >>"$work/ef.times"; echo "$c" >>"$work/ef.cpu"; echo "$kb" >>"$work/ef.mem"
      printf '%-14s %-10s %4d %10.2f %10.2f %12.1f\n' "$name" enfuse "$r" "$s" "$c" "$(echo "$kb / 1024" | bc -l)"
    done
    ss_t=$(median <"$work/ss.times"); ef_t=$(median <"$work/ef.times")
    ss_c=$(median <"$work/ss.cpu"); ef_c=$(median <"$work/ef.cpu")
    ss_m=$(median <"$work/ss.mem"); ef_m=$(median <"$work/ef.mem")
    printf '%-14s median: sharpstack %.2f s (cpu %.2f s) %.0f MB, enfuse %.2f s (cpu %.2f s) %.0f MB\n' \
      "$name" "$ss_t" "$ss_c" "$(echo "$ss_m / 1024" | bc -l)" "$ef_t" "$ef_c" "$(echo "$ef_m / 1024" | bc -l)"
    printf '%-14s ratios: %.1fx faster (cpu %.1fx), %.2f of its peak memory\n' "$name" \
      "$(echo "$ef_t / $ss_t" | bc -l)" "$(echo "$ef_c / $ss_c" | bc -l)" "$(echo "$ss_m / $ef_m" | bc -l)"
  done
done
