#!/usr/bin/env bash
# run.sh - what `make bench` runs: scan-like clouds, whole-run timings and peak memory,
# the stage breakdown, the full-scan ratio, the kd-tree-from-Python peer (one and two workers),
# the loading of 10M points as text, binary PCD, LAS and LAZ (point formats 1 and 6) with -t 1
# and all threads, what the JSON and HTML reports add to a 1M x 1M run, and the scaling runs:
# 10M x 10M in random and in scan-line order and 2M x 10M (method B), each with -t 1 and with
# all threads, whose outputs must be byte-identical; the signed nearest point, the least-squares
# plane and M3C2 at 1M x 1M with -t 1 and all threads, against the nearest-point run, and
# M3C2's NumPy/SciPy peer (one and two workers); the tiled runs (bench/tiles.sh): 10M x 10M in
# one process and through a one-node batch cluster against the run in memory, with `cmp` of
# their outputs, 100M x 100M likewise and 300M x 300M from LAS on request; as Markdown tables.
#
#   bench/run.sh [BUILD_DIR]      (default: build; ptdelta and bench/ must already be built there)
#
# Environment:
#   BENCH_REPEAT=3               runs of each timed command; the best wall time is kept
#                                (and the highest peak memory, to stay on the safe side)
#   BENCH_FULL_SCAN_SAMPLE=2000  test points of the timed full scan
#   BENCH_SCALE=1                divide every cloud size by this for a quick try (goals are then not judged)
#   BENCH_TIMEOUT=600            seconds before one run is abandoned
#   BENCH_LARGE=0                1 adds 100M x 100M (two clouds of about 3 GB of text, generated
#                                once and kept; skipped with a message when the disk cannot hold
#                                them and the outputs)
#   BENCH_SLOW_REPEAT=1          runs of the slow commands: the peer at 10M x 10M, the M3C2 peer
#                                and 100M x 100M
#   BENCH_PEER_STRIDE=100        the M3C2 peer takes every this many-th test point as a core point;
#                                its time for all of them is extrapolated from its per-core steps
#                                (1: every core point, about 20 minutes a run)
#   BENCH_HUGE=0                 1 adds 300M x 300M from LAS (two clouds of about 6 GB, generated
#                                once and kept), tiled only, and with it the 100M rows (BENCH_LARGE)
#                                its time is compared with; skipped with a message when the disk
#                                cannot hold them, its export and its work folder
#   BENCH_HUGE_TIMEOUT=3600      seconds before the 300M run is abandoned
#   BENCH_ONLY=                  "surface": only the signed, least-squares-plane and M3C2 rows and
#                                the nearest-point runs they are compared with (a few minutes);
#                                "tiles": only the tiled rows (bench/tiles.sh) and the runs in
#                                memory they are compared with
#
# The report goes to standard output and to BUILD_DIR/bench/results.md (results-surface.md
# with BENCH_ONLY=surface, results-tiles.md with BENCH_ONLY=tiles).
# The clouds are generated once into BUILD_DIR/bench/ and kept (they are regenerated
# when the generator is newer than them). Nothing is installed: the peer runs only
# when /usr/bin/python3 can import numpy and scipy (Debian: python3-scipy).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
tool=$build/ptdelta
make_clouds=$build/bench/make_clouds
stages=$build/bench/stages
load=$build/bench/load
data=$build/bench
peer=$root/bench/peer_kdtree.py
python=/usr/bin/python3

repeat=${BENCH_REPEAT:-3}
sample=${BENCH_FULL_SCAN_SAMPLE:-2000}
scale=${BENCH_SCALE:-1}
time_limit=${BENCH_TIMEOUT:-600}
large=${BENCH_LARGE:-0}
slow_repeat=${BENCH_SLOW_REPEAT:-1}
peer_stride=${BENCH_PEER_STRIDE:-100}
only=${BENCH_ONLY:-}
case $only in "" | surface | tiles) ;; *) echo "run.sh: BENCH_ONLY is 'surface', 'tiles' or empty, not '$only'" >&2; exit 1 ;; esac
# The 300M rows are compared with the 100M tiled run of the same bench run.
[[ ${BENCH_HUGE:-0} == 1 ]] && large=1
surface_peer=$root/bench/peer_m3c2.py
threads_all=$(getconf _NPROCESSORS_ONLN)
maxdist=5

for f in "$tool" "$make_clouds" "$stages" "$load"; do
  [[ -x $f ]] || { echo "run.sh: $f is missing; build it first (make bench)" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "run.sh: /usr/bin/time (GNU time, Debian package 'time') is needed" >&2; exit 1; }

# ---------------------------------------------------------------- helpers
declare -A wall mem cpu status
ran() { [[ ${status[$1]:-} == ok ]]; }

# measure NAME OK_CHECK command...: best wall time of $repeat runs (or $runs, when set) under GNU time;
# $before_each, when set, names a command run before each of them, untimed.
# OK_CHECK is "done" (stderr must show "Done.", the tool's last word whatever its
# exit status) or "status" (exit status 0).
measure() {
  local name=$1 check=$2
  shift 2
  local best="" peak=0 best_cpu="" i rc line w m u s
  for ((i = 0; i < ${runs:-$repeat}; i++)); do
    rc=0
    # A step that each run needs first (a fresh folder), outside the timing.
    if [[ -n ${before_each:-} ]]; then "$before_each"; fi
    timeout "$time_limit" /usr/bin/time -f "%e %M %U %S" -o "$data/$name.time" "$@" \
      >"$data/$name.out" 2>"$data/$name.err" || rc=$?
    if ((rc == 124)); then status[$name]="timed out after ${time_limit} s"; return; fi
    if [[ $check == done ]] && ! grep -q 'Done\.' "$data/$name.err"; then
      status[$name]="failed (exit $rc, see $data/$name.err)"; return
    fi
    if [[ $check == status ]] && ((rc != 0)); then
      status[$name]="failed (exit $rc, see $data/$name.err)"; return
    fi
    line=$(tail -n 1 "$data/$name.time")
    read -r w m u s <<<"$line"
    if [[ -z $best ]] || awk -v a="$w" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$w
      best_cpu=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')
    fi
    if ((m > peak)); then peak=$m; fi
  done
  wall[$name]=$best
  mem[$name]=$peak
  cpu[$name]=$best_cpu
  status[$name]=ok
}

# Every output byte must be the same whatever the thread count: export, log and console text.
differ_between_threads() {  # differ_between_threads NAME...: a line for each output of tool-NAME and tool-NAME-t1 that differs
  local name suffix
  for name in "$@"; do
    if ran "tool-$name" && ran "tool-$name-t1"; then
      for suffix in ply ply.log; do
        cmp -s "$data/result-$name.$suffix" "$data/result-$name-t1.$suffix" || echo "$name: result-$name.$suffix"
      done
      cmp -s "$data/tool-$name.err" "$data/tool-$name-t1.err" || echo "$name: console text"
    fi
  done
}

key() { awk -v k="$2" '$1 == k { print $2 }' "$data/$1"; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
mib() { calc "%.1f" "$1 / 1024"; }
judge() {  # judge CONDITION (awk) -> pass / miss / n/a
  if ((scale != 1)); then echo "n/a (scaled)"
  elif awk "BEGIN { exit !($1) }"; then echo "pass"
  else echo "**miss**"; fi
}
ratio_row() {  # ratio_row TEXT NUMERATOR_RUN DENOMINATOR_RUN OPERATOR LIMIT: wall time ratio against a goal
  local text=$1 a=$2 b=$3 op=$4 limit=$5 r target
  target="$([[ $op == ">=" ]] && echo "≥" || echo "≤") ${limit}x"
  if ran "$a" && ran "$b"; then
    r=$(calc "%.2f" "${wall[$a]} / ${wall[$b]}")
    echo "| $text (${wall[$a]} s against ${wall[$b]} s) | $target | ${r}x | $(judge "$r $op $limit") |"
  else
    echo "| $text | $target | not measured: ${status[$a]:-not run} / ${status[$b]:-not run} | **miss** |"
  fi
}
row() {  # row NAME TEXT
  if ran "$1"; then echo "| $2 | ${wall[$1]} | $(mib "${mem[$1]}") | ${cpu[$1]} |"
  elif [[ -n ${status[$1]:-} ]]; then echo "| $2 | ${status[$1]} | | |"; fi
}
peer_steps() {  # peer_steps RUN -> the steps of its last run (the counts left out)
  awk '$1 ~ /^peer_/ && $1 !~ /^peer_(within_maxdist|cores|with_distance)$/ { sub(/^peer_/, "", $1); printf "%s%s %s", sep, $1, $2; sep = ", " }' "$data/$1.out"
}
machine_header() {  # machine_header SLOW_RUNS: the machine and how the runs were timed
  local cpu_model
  cpu_model=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || true)
  echo
  echo "Machine: $(getconf _NPROCESSORS_ONLN) cores (${cpu_model:-unknown CPU}), $(. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME"), $(g++ --version 2>/dev/null | head -n 1)."
  echo "Best wall time of $repeat runs ($slow_repeat for $1); peak resident memory by GNU time (highest of the runs); maxdist $maxdist."
  echo "All threads: $threads_all. Load average before the runs: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg)."
}

# ---------------------------------------------------------------- clouds
n_small=$((100000 / scale))
n_large=$((1000000 / scale))
n_mixed=$((200000 / scale))
n_spot=$((300000 / scale))

label() {  # 100000 -> 100k, 1000000 -> 1M
  local n=$1
  if ((n >= 1000000 && n % 1000000 == 0)); then echo "$((n / 1000000))M"
  elif ((n >= 1000 && n % 1000 == 0)); then echo "$((n / 1000))k"
  else echo "$n"; fi
}

cloud() {  # cloud KIND COUNT SEED [spot] -> path; generated when missing or older than the generator
  local path=$data/$1-$(label "$2")${4:+-$4}.txt
  if [[ ! -s $path || $make_clouds -nt $path ]]; then
    echo "generating $path" >&2
    "$make_clouds" "$1" "$2" "$3" "$path" ${4:+"$4"}
  fi
  echo "$path"
}

ref_large=$(cloud ref "$n_large" 21)
test_large=$(cloud test "$n_large" 22)
size_large="$(label "$n_large") x $(label "$n_large")"

# ---------------------------------------------------------------- signed, local plane and M3C2
# The 1M clouds hold 1M points on 200 x 200 mm, a point spacing of about 0.2 mm: the signed
# run's normals come from about 3.5 spacings, M3C2's from about 8; M3C2's cylinder (radius
# R/2, half-length maxdist) and its 5 points of each cloud are the tool's defaults.
normal_radius=0.7
m3c2_radius=1.6
plane_points=6
surface_runs=(signed plane m3c2)
declare -A surface_options=([signed]="-signed -normals $normal_radius" [plane]="-plane $plane_points"
  [m3c2]="-m3c2 $m3c2_radius")
surface_differences=()

have_peer=no
if "$python" -c "import numpy, scipy.spatial" 2>/dev/null; then have_peer=yes; fi
# One thread for the linear-algebra runtime too: the kd-tree peer does not use it (the
# M3C2 peer's eigen solver is not worth a thread), and idle worker threads would only add
# to the peers' memory.
peer_env=(env OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1)

# The M3C2 peer's time for every core point, from its run on every peer_stride-th one: the
# wall time plus the per-core steps (normals, cylinders, writing) once more for each core
# point left out; both clouds are loaded and put in trees whole either way.
whole_peer_run() {  # whole_peer_run RUN -> wall[RUN-whole]
  local name=$1 cores per_core
  ran "$name" || return 0
  cores=$(key "$name.out" peer_cores)
  per_core=$(awk '$1 == "peer_normals" || $1 == "peer_cylinders" || $1 == "peer_write" { s += $2 } END { print s + 0 }' \
    "$data/$name.out")
  wall[$name-whole]=$(calc "%.1f" "${wall[$name]} + $per_core * ($n_large / $cores - 1)")
  status[$name-whole]=ok
}

measure_surface() {  # the three runs with all threads and with -t 1, their outputs compared, then the peer
  local name options workers
  echo "timing the signed, least-squares-plane and M3C2 runs at $size_large ($repeat runs each) ..." >&2
  for name in "${surface_runs[@]}"; do
    read -ra options <<<"${surface_options[$name]}"
    measure "tool-$name" done "$tool" -r "$ref_large" -c "$test_large" -o "$data/result-$name.ply" "${options[@]}"
    measure "tool-$name-t1" done "$tool" -t 1 -r "$ref_large" -c "$test_large" -o "$data/result-$name-t1.ply" \
      "${options[@]}"
  done
  # Normals stored with the reference: the reference as a binary PLY with nx ny nz, made by the
  # tool itself (the reference against itself, its -ob carrying the normal of each point), timed
  # signed and unsigned from that same file so that both read the same input.
  if [[ ! -s $data/ref-normals.ply || $data/ref-normals.ply -ot $ref_large ]]; then
    "$tool" -r "$ref_large" -c "$ref_large" -o "$data/ref-normals-src.ply" -signed -normals "$normal_radius" \
      -ob "$data/ref-normals.ply.tmp" 2>/dev/null && mv "$data/ref-normals.ply.tmp" "$data/ref-normals.ply"
    rm -f "$data/ref-normals-src.ply" "$data/ref-normals-src.ply.log"
  fi
  if [[ -s $data/ref-normals.ply ]]; then
    measure tool-stored-plain done "$tool" -rp "$data/ref-normals.ply" -c "$test_large" -o "$data/result-stored-plain.ply"
    measure tool-stored done "$tool" -rp "$data/ref-normals.ply" -c "$test_large" -o "$data/result-stored.ply" -signed
  fi
  mapfile -t surface_differences < <(differ_between_threads "${surface_runs[@]}")
  if ((${#surface_differences[@]} > 0)); then
    echo "run.sh: OUTPUTS DIFFER BETWEEN -t 1 AND ALL THREADS: ${surface_differences[*]}" >&2
  fi
  [[ $have_peer == yes ]] || return 0
  echo "timing the M3C2 peer on every ${peer_stride}th core point, 1 and 2 workers ($slow_repeat runs each) ..." >&2
  for workers in 1 2; do
    runs=$slow_repeat measure "peer-m3c2-w$workers" status "${peer_env[@]}" "$python" "$surface_peer" m3c2 \
      "$ref_large" "$test_large" "$data/peer-m3c2-w$workers.txt" "$m3c2_radius" "$maxdist" "$workers" "$peer_stride"
    whole_peer_run "peer-m3c2-w$workers"
  done
}

surface_report() {
  local name text with cores=""
  ran peer-m3c2-w2 && cores=$(key peer-m3c2-w2.out peer_cores)
  echo
  echo "Signed distances, the least-squares plane and M3C2 at $size_large (a point spacing of about $(calc "%.2g" "200 / sqrt($n_large)") mm):"
  echo "\`-signed -normals $normal_radius\`, \`-plane $plane_points\` and \`-m3c2 $m3c2_radius\` (cylinder radius $(calc "%g" "$m3c2_radius / 2"), half-length $maxdist, 5 points: the defaults),"
  echo "each against the nearest-point run of this bench run with the same threads."
  if [[ -n $cores ]]; then
    echo "The M3C2 peer (bench/peer_m3c2.py) took every ${peer_stride}th test point as a core point ($cores of $n_large);"
    echo "its time for every core point is its wall time plus its per-core steps once more for each one left out."
  fi
  echo
  echo "| goal | target | measured | result |"
  echo "|---|---|---|---|"
  ratio_row "$size_large, M3C2 against the nearest-point run" tool-m3c2 tool-large "<=" 8
  ratio_row "$size_large with -t 1, M3C2 against the nearest-point run" tool-m3c2-t1 tool-large-t1 "<=" 8
  if [[ $have_peer == yes ]]; then
    ratio_row "$size_large, M3C2 faster than the NumPy/SciPy peer with 2 workers (every core point, from the sample)" \
      peer-m3c2-w2-whole tool-m3c2 ">=" 30
  else
    echo "| $size_large, M3C2 faster than the NumPy/SciPy peer with 2 workers | ≥ 30x | peer not installed (python3-scipy) | n/a |"
  fi
  ratio_row "$size_large, -signed against the unsigned run" tool-signed tool-large "<=" 1.5
  ratio_row "$size_large with -t 1, -signed against the unsigned run" tool-signed-t1 tool-large-t1 "<=" 1.5
  ratio_row "$size_large, -signed with normals stored in the reference (PLY nx ny nz) against the unsigned run from that file" \
    tool-stored tool-stored-plain "<=" 1.5
  ratio_row "$size_large, -plane $plane_points against the nearest-point run" tool-plane tool-large "<=" 3
  ratio_row "$size_large with -t 1, -plane $plane_points against the nearest-point run" tool-plane-t1 tool-large-t1 "<=" 3
  # The stored normals are the ones -normals estimates at each reference point, so the export
  # of the stored-normals run is the estimated run's, byte for byte.
  if ran tool-stored && ran tool-signed; then
    if cmp -s "$data/result-stored.ply" "$data/result-signed.ply"; then
      echo "| export of \`-signed\` with stored normals the same as with \`-normals $normal_radius\` | identical | identical | pass |"
    else
      echo "| export of \`-signed\` with stored normals the same as with \`-normals $normal_radius\` | identical | **differ** | **miss** |"
    fi
  fi
  if ((${#surface_differences[@]} == 0)); then
    echo "| export, log and console text of the three runs the same with -t 1 and all threads | identical | identical | pass |"
  else
    echo "| export, log and console text of the three runs the same with -t 1 and all threads | identical | **differ: ${surface_differences[*]}** | **miss** |"
  fi
  # On one thread CPU time is the work itself, which other load on the machine disturbs
  # far less than the wall time.
  echo
  echo "| with -t 1, against the nearest-point run with -t 1 | wall time | CPU time |"
  echo "|---|---|---|"
  for name in "${surface_runs[@]}"; do
    if ran "tool-$name-t1" && ran tool-large-t1; then
      echo "| \`${surface_options[$name]}\` | $(calc "%.2f" "${wall[tool-$name-t1]} / ${wall[tool-large-t1]}")x |" \
        "$(calc "%.2f" "${cpu[tool-$name-t1]} / (${cpu[tool-large-t1]} > 0 ? ${cpu[tool-large-t1]} : 0.01)")x |"
    fi
  done
  echo
  echo "| run | wall (s) | peak memory (MiB) | CPU, user + system (s) |"
  echo "|---|---|---|---|"
  row tool-large "ptdelta $size_large, nearest point"
  row tool-large-t1 "ptdelta $size_large, nearest point, -t 1"
  for name in "${surface_runs[@]}"; do
    text="ptdelta $size_large, \`${surface_options[$name]}\`"
    row "tool-$name" "$text"
    row "tool-$name-t1" "$text, -t 1"
  done
  row tool-stored-plain "ptdelta $size_large, reference as binary PLY with normals, unsigned"
  row tool-stored "ptdelta $size_large, reference as binary PLY with normals, \`-signed\` (stored normals)"
  if [[ $have_peer == yes ]]; then
    for workers in 1 2; do
      name=peer-m3c2-w$workers
      with=$([[ $workers == 1 ]] && echo "1 worker" || echo "$workers workers")
      row "$name" "NumPy/SciPy peer, M3C2, $with, every ${peer_stride}th core point"
      ran "$name" && echo "| NumPy/SciPy peer, M3C2, $with, every core point (from the sample) | ${wall[$name-whole]} | | |"
    done
    if ran peer-m3c2-w2; then
      echo
      echo "M3C2 peer with 2 workers, steps of its last run (seconds): $(peer_steps peer-m3c2-w2)."
    fi
  else
    echo "| NumPy/SciPy peer | not run: $python cannot import scipy (Debian: python3-scipy) | | |"
  fi
}

# The scaling clouds keep the density of the 1M cloud on a larger square (area=COUNT);
# the 2M reference covers the square of its 10M test cloud, as the 200k reference covers
# the 1M one. The random-order and the scan-line clouds are the same points (same seeds).
n_wide=$((10000000 / scale))
n_wide_ref=$((2000000 / scale))
n_huge=$((100000000 / scale))
wide_cloud() {  # wide_cloud KIND COUNT SEED AREA random|scan -> path
  local name=$1-$(label "$2")
  [[ $4 == "$2" ]] || name+=-area$(label "$4")
  local path=$data/$name-$5-$3.txt order=()  # the seed too: a scaled try must not take another cloud
  [[ $5 == random ]] && order=(random)
  if [[ ! -s $path || $make_clouds -nt $path ]]; then
    echo "generating $path" >&2
    "$make_clouds" "$1" "$2" "$3" "$path" text "area=$4" "${order[@]}"
  fi
  echo "$path"
}
# 100M x 100M only on request, and only when the disk holds the clouds (about 29 bytes a
# point of text each) and, at once, two exports (about 100 times the 1M export, deleted once
# compared) and a tiled run's work folder (16 bytes a point of each cloud, the halo, 12 a test point).
huge=no
choose_huge() {  # sets huge=yes and the clouds, or huge to the reason it is skipped
  local avail_kb need_kb kind
  if [[ $large == 1 ]]; then
    avail_kb=$(df -Pk "$data" | awk 'NR == 2 { print $4 }')
    need_kb=$((n_huge * (2 * 50 + 46) / 1024 + 2 * 1024 * 1024))  # exports of about 49 bytes a point, 2 GB to spare
    for kind in ref test; do
      [[ -s $data/$kind-$(label "$n_huge")-random-$([[ $kind == ref ]] && echo 81 || echo 82).txt ]] || need_kb=$((need_kb + n_huge * 29 / 1024))
    done
    if ((avail_kb < need_kb)); then
      huge="skipped: $((avail_kb / 1024 / 1024)) GB free on $(df -P "$data" | awk 'NR == 2 { print $6 }'), about $((need_kb / 1024 / 1024)) GB needed"
      echo "run.sh: 100M x 100M $huge" >&2
    else
      huge=yes
      ref_huge=$(wide_cloud ref "$n_huge" 81 "$n_huge" random)
      test_huge=$(wide_cloud test "$n_huge" 82 "$n_huge" random)
    fi
  fi
}

source "$root/bench/tiles.sh"

# BENCH_ONLY=surface: these rows alone, with the nearest-point runs they are compared with.
if [[ $only == surface ]]; then
  load_before=$(cut -d' ' -f1-3 /proc/loadavg)
  echo "timing ptdelta ($repeat runs each; load average $load_before) ..." >&2
  measure tool-large done "$tool" -r "$ref_large" -c "$test_large" -o "$data/result-large.ply"
  measure tool-large-t1 done "$tool" -t 1 -r "$ref_large" -c "$test_large" -o "$data/result-large-t1.ply"
  measure_surface
  { machine_header "the M3C2 peer"; surface_report; } | tee "$data/results-surface.md"
  exit 0
fi
# BENCH_ONLY=tiles: the tiled rows alone, with the runs in memory they are compared with.
if [[ $only == tiles ]]; then
  ref_wide_random=$(wide_cloud ref "$n_wide" 51 "$n_wide" random)
  test_wide_random=$(wide_cloud test "$n_wide" 52 "$n_wide" random)
  choose_huge
  choose_giant
  load_before=$(cut -d' ' -f1-3 /proc/loadavg)
  echo "timing ptdelta in memory ($repeat runs; $slow_repeat at $(label "$n_huge"); load average $load_before) ..." >&2
  measure tool-wide-random done "$tool" -r "$ref_wide_random" -c "$test_wide_random" -o "$data/result-wide-random.ply"
  if [[ $huge == yes ]]; then
    runs=$slow_repeat measure tool-huge done "$tool" -r "$ref_huge" -c "$test_huge" -o "$data/result-huge.ply"
  fi
  measure_tiles
  rm -f "$data/result-huge.ply"
  { machine_header "$(label "$n_huge") and $(label "$n_giant")"; tiles_report; } | tee "$data/results-tiles.md"
  exit 0
fi
ref_small=$(cloud ref "$n_small" 11)
test_small=$(cloud test "$n_small" 12)
ref_mixed=$(cloud ref "$n_mixed" 31)
# The same pair of clouds clean and with a third of their points at 0 0 0.
ref_clean=$(cloud ref "$n_spot" 41)
test_clean=$(cloud test "$n_spot" 42)
ref_spot=$(cloud ref "$n_spot" 41 spot)
test_spot=$(cloud test "$n_spot" 42 spot)

# The same 10M points as text, binary PCD and LAS (the load-speed goal).
n_load=$((10000000 / scale))
cloud_as() {  # cloud_as COUNT SEED FORMAT EXTENSION -> path
  local path=$data/load-$(label "$1").$4
  if [[ ! -s $path || $make_clouds -nt $path ]]; then
    echo "generating $path" >&2
    "$make_clouds" test "$1" "$2" "$path" "$3"
  fi
  echo "$path"
}
load_txt=$(cloud_as "$n_load" 41 text txt)
load_pcd=$(cloud_as "$n_load" 41 pcd pcd)
load_las=$(cloud_as "$n_load" 41 las las)
# The same points compressed: point format 1 in pointwise chunks, format 6 in layered chunks.
load_laz1=$(cloud_as "$n_load" 41 laz1 laz1.laz)
load_laz6=$(cloud_as "$n_load" 41 laz6 laz6.laz)

ref_wide_random=$(wide_cloud ref "$n_wide" 51 "$n_wide" random)
test_wide_random=$(wide_cloud test "$n_wide" 52 "$n_wide" random)
ref_wide_scan=$(wide_cloud ref "$n_wide" 51 "$n_wide" scan)
test_wide_scan=$(wide_cloud test "$n_wide" 52 "$n_wide" scan)
ref_wide_b=$(wide_cloud ref "$n_wide_ref" 53 "$n_wide" random)

choose_huge
choose_giant

# ---------------------------------------------------------------- timed runs
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "timing ptdelta ($repeat runs each; load average $load_before) ..." >&2
measure tool-small done "$tool" -r "$ref_small" -c "$test_small" -o "$data/result-small.ply"
measure tool-large done "$tool" -r "$ref_large" -c "$test_large" -o "$data/result-large.ply"
# The same 1M x 1M run with the JSON and HTML reports: what they add to a run.
measure tool-large-report done "$tool" -r "$ref_large" -c "$test_large" -o "$data/result-large-report.ply" \
  -json "$data/result-large.json" -html "$data/result-large.html"
measure tool-mixed done "$tool" -r "$ref_mixed" -c "$test_large" -o "$data/result-mixed.ply"
measure tool-large-t1 done "$tool" -t 1 -r "$ref_large" -c "$test_large" -o "$data/result-large-t1.ply"
measure tool-mixed-t1 done "$tool" -t 1 -r "$ref_mixed" -c "$test_large" -o "$data/result-mixed-t1.ply"
measure tool-clean done "$tool" -r "$ref_clean" -c "$test_clean" -o "$data/result-clean.ply"
measure tool-spot done "$tool" -r "$ref_spot" -c "$test_spot" -o "$data/result-spot.ply"

if [[ $have_peer == yes ]]; then
  echo "timing the kd-tree-from-Python peer ($repeat runs each) ..." >&2
  measure peer-small status "${peer_env[@]}" "$python" "$peer" "$ref_small" "$test_small" "$data/peer-small.txt" "$maxdist"
  measure peer-large status "${peer_env[@]}" "$python" "$peer" "$ref_large" "$test_large" "$data/peer-large.txt" "$maxdist"
  measure peer-large-w2 status "${peer_env[@]}" "$python" "$peer" "$ref_large" "$test_large" "$data/peer-large-w2.txt" "$maxdist" 2
  echo "timing the peer with 2 workers at $(label "$n_wide") x $(label "$n_wide") ($slow_repeat runs) ..." >&2
  runs=$slow_repeat measure peer-wide-w2 status "${peer_env[@]}" "$python" "$peer" "$ref_wide_random" "$test_wide_random" \
    "$data/peer-wide-w2.txt" "$maxdist" 2
fi

measure_surface

# The scaling runs, each with -t 1 and with all threads (no -t).
echo "timing the scaling runs ($repeat runs each) ..." >&2
scaling_runs=(wide-random wide-scan wide-b)
measure_both() {  # measure_both NAME REF TEST: NAME with all threads, NAME-t1 with -t 1
  local name=$1 ref=$2 test=$3
  measure "tool-$name" done "$tool" -r "$ref" -c "$test" -o "$data/result-$name.ply"
  measure "tool-$name-t1" done "$tool" -t 1 -r "$ref" -c "$test" -o "$data/result-$name-t1.ply"
}
measure_both wide-random "$ref_wide_random" "$test_wide_random"
measure_both wide-scan "$ref_wide_scan" "$test_wide_scan"
measure_both wide-b "$ref_wide_b" "$test_wide_random"
if [[ $huge == yes ]]; then
  echo "timing $(label "$n_huge") x $(label "$n_huge") ($slow_repeat runs each) ..." >&2
  runs=$slow_repeat measure_both huge "$ref_huge" "$test_huge"
  scaling_runs+=(huge)
fi

mapfile -t thread_differences < <(differ_between_threads large mixed "${scaling_runs[@]}")
if ((${#thread_differences[@]} > 0)); then
  echo "run.sh: OUTPUTS DIFFER BETWEEN -t 1 AND ALL THREADS: ${thread_differences[*]}" >&2
fi
# The 100M exports take gigabytes: kept only until they are compared (the one of all threads
# until the tiled runs are compared with it too).
rm -f "$data/result-huge-t1.ply"
measure_tiles
rm -f "$data/result-huge.ply"

echo "loading $(label "$n_load") points as text, PCD, LAS and LAZ, one thread and all ($repeat runs each) ..." >&2
declare -A load_file=([txt]=$load_txt [pcd]=$load_pcd [las]=$load_las [laz1]=$load_laz1 [laz6]=$load_laz6)
load_forms=(txt pcd las laz1 laz6)
for form in "${load_forms[@]}"; do
  measure "load-$form" status "$load" "${load_file[$form]}" 1
  measure "load-$form-all" status "$load" "${load_file[$form]}" "$threads_all"
done

echo "stage breakdown and full scan ..." >&2
run_stages() {  # run_stages NAME REF TEST [SAMPLE [THREADS]]; the tool's console text goes to NAME.err
  local name=$1
  shift
  "$stages" "$1" "$2" "$data/stages-$name.ply" "$maxdist" "${3:-0}" "${4:-0}" >"$data/stages-$name.txt" \
    2>"$data/stages-$name.err" || { echo "run.sh: bench/stages failed, see $data/stages-$name.err" >&2; exit 1; }
}
run_stages small "$ref_small" "$test_small" "$sample"
run_stages large "$ref_large" "$test_large"
run_stages large-t1 "$ref_large" "$test_large" 0 1
run_stages mixed "$ref_mixed" "$test_large"
# The stage breakdown is only worth reading if it did what the tool did.
same_outputs=yes
for name in small large mixed large-t1; do
  if ran "tool-$name" && ! { cmp -s "$data/result-$name.ply" "$data/stages-$name.ply" &&
    cmp -s "$data/result-$name.ply.log" "$data/stages-$name.ply.log"; }; then
    same_outputs="no ($name)"
  fi
done

# ---------------------------------------------------------------- report
size_small="$(label "$n_small") x $(label "$n_small")"
size_mixed="$(label "$n_mixed") x $(label "$n_large")"
size_spot="$(label "$n_spot") x $(label "$n_spot")"

{
machine_header "the peer at $(label "$n_wide") x $(label "$n_wide"), the M3C2 peer and $(label "$n_huge") x $(label "$n_huge")"
echo
echo "| goal | target | measured | result |"
echo "|---|---|---|---|"
if ran tool-large; then
  echo "| $size_large, method A, whole run | ≤ 1.0 s | ${wall[tool-large]} s | $(judge "${wall[tool-large]} <= 1.0") |"
  if ran peer-large; then
    ratio=$(calc "%.1f" "${wall[peer-large]} / ${wall[tool-large]}")
    echo "| $size_large, faster than the kd-tree from Python (${wall[peer-large]} s) | ≥ 3x | ${ratio}x | $(judge "$ratio >= 3") |"
  else
    echo "| $size_large, faster than the kd-tree from Python | ≥ 3x | peer not installed (python3-scipy) | n/a |"
  fi
  echo "| $size_large, peak resident memory | ≤ 80 MiB | $(mib "${mem[tool-large]}") MiB | $(judge "${mem[tool-large]} <= 80 * 1024") |"
else
  echo "| $size_large, method A, whole run | ≤ 1.0 s | ${status[tool-large]} | **miss** |"
fi
if ran tool-large && ran tool-large-report; then
  report_share=$(calc "%.1f" "(${wall[tool-large-report]} - ${wall[tool-large]}) / ${wall[tool-large]} * 100")
  echo "| $size_large, -json and -html added (${wall[tool-large-report]} s against ${wall[tool-large]} s) | ≤ 5 % | ${report_share} % | $(judge "$report_share <= 5") |"
fi
if ran tool-mixed; then
  echo "| $size_mixed, method B, whole run | ≤ 1.5 s | ${wall[tool-mixed]} s | $(judge "${wall[tool-mixed]} <= 1.5") |"
else
  echo "| $size_mixed, method B, whole run | ≤ 1.5 s | ${status[tool-mixed]} | **miss** |"
fi
if ran tool-spot && ran tool-clean; then
  spot_ratio=$(calc "%.2f" "${wall[tool-spot]} / ${wall[tool-clean]}")
  echo "| $size_spot, a third of both clouds at 0 0 0, against the clean clouds (${wall[tool-clean]} s) | ≤ 2x | ${wall[tool-spot]} s, ${spot_ratio}x | $(judge "$spot_ratio <= 2") |"
else
  echo "| $size_spot, a third of both clouds at 0 0 0, against the clean clouds | ≤ 2x | ${status[tool-spot]:-} ${status[tool-clean]:-} | **miss** |"
fi
full_points=$(key stages-small.txt full_scan_points)
if [[ -n $full_points ]]; then
  full_est=$(key stages-small.txt full_scan_extrapolated)
  indexed_pass=$(key stages-small.txt comparison_pass)
  pass_ratio=$(calc "%.0f" "$full_est / $indexed_pass")
  shuffled_est=$(key stages-small.txt full_scan_shuffled_extrapolated)
  shuffled_ratio=$(calc "%.0f" "$shuffled_est / $indexed_pass")
  echo "| $size_small, faster than the full scan (comparison pass; clouds in scan-line order) | ≥ 1000x | ${pass_ratio}x | $(judge "$pass_ratio >= 1000") |"
  echo "| $size_small, the same with the reference points in random order | ≥ 1000x | ${shuffled_ratio}x | $(judge "$shuffled_ratio >= 1000") |"
fi
size_load=$(label "$n_load")
for format in pcd las; do
  if ran load-txt && ran "load-$format"; then
    ratio=$(calc "%.1f" "${wall[load-txt]} / ${wall[load-$format]}")
    echo "| $size_load points, binary ${format^^} loads faster than text (${wall[load-txt]} s) | ≥ 3x | ${ratio}x (${wall[load-$format]} s) | $(judge "$ratio >= 3") |"
  else
    echo "| $size_load points, binary ${format^^} loads faster than text | ≥ 3x | ${status[load-$format]:-not run} | **miss** |"
  fi
done
for format in laz1 laz6; do
  kind=$([[ $format == laz1 ]] && echo "point format 1, pointwise" || echo "point format 6, layered")
  ratio_goal="$size_load points, LAZ ($kind) on all threads loads in at most the time of text"
  if ran load-txt-all && ran "load-$format-all"; then
    echo "| $ratio_goal (${wall[load-txt-all]} s) | ≤ 1x | ${wall[load-$format-all]} s | $(judge "${wall[load-$format-all]} <= ${wall[load-txt-all]}") |"
  else
    echo "| $ratio_goal | ≤ 1x | ${status[load-$format-all]:-not run} | **miss** |"
  fi
done
for name in tool-large-t1 tool-mixed-t1; do
  if ran "$name"; then
    threads=$(calc "%.2f" "${cpu[$name]} / ${wall[$name]}")
    label_run=$([[ $name == tool-large-t1 ]] && echo "$size_large" || echo "$size_mixed")
    echo "| $label_run with -t 1, one thread (CPU time / wall time) | ≤ 1 | $threads | $(judge "${cpu[$name]} <= ${wall[$name]} * 1.05 + 0.02") |"
  fi
done

# The scaling goals: every ratio from runs of this one bench run.
size_wide="$(label "$n_wide") x $(label "$n_wide")"
size_wide_b="$(label "$n_wide_ref") x $(label "$n_wide")"
size_huge="$(label "$n_huge") x $(label "$n_huge")"
ratio_row "$size_large, all $threads_all threads faster than -t 1" tool-large-t1 tool-large ">=" 1.7
if [[ $have_peer == yes ]]; then
  ratio_row "$size_large, faster than the kd-tree from Python with 2 workers" peer-large-w2 tool-large ">=" 8
else
  echo "| $size_large, faster than the kd-tree from Python with 2 workers | ≥ 8x | peer not installed (python3-scipy) | n/a |"
fi
if ran tool-large-t1; then
  echo "| $size_large with -t 1, no slower than before threads (0.52 s in the README, + 10 % for the clock and the load) | ≤ 0.57 s | ${wall[tool-large-t1]} s | $(judge "${wall[tool-large-t1]} <= 0.57") |"
fi
ratio_row "$size_wide, random order against scan-line order" tool-wide-random tool-wide-scan "<=" 1.3
ratio_row "$size_wide (random order) against $size_large" tool-wide-random tool-large "<=" 12
if [[ $have_peer == yes ]]; then
  ratio_row "$size_wide (random order), faster than the kd-tree from Python with 2 workers" peer-wide-w2 tool-wide-random ">=" 15
else
  echo "| $size_wide, faster than the kd-tree from Python with 2 workers | ≥ 15x | peer not installed (python3-scipy) | n/a |"
fi
ratio_row "$size_wide_b, method B (random order), against $size_mixed" tool-wide-b tool-mixed "<=" 12
per_point() {  # per_point RUN POINTS -> bytes of peak resident memory per point
  calc "%.1f" "${mem[$1]} * 1024 / $2"
}
if ran tool-wide-random; then
  echo "| $size_wide (random order), peak resident memory per point of both clouds (the goal is set at $size_huge) | ≤ 26 B | $(per_point tool-wide-random $((2 * n_wide))) B ($(mib "${mem[tool-wide-random]}") MiB) | $(judge "$(per_point tool-wide-random $((2 * n_wide))) <= 26") |"
fi
if [[ $huge == yes ]]; then
  ratio_row "$size_huge (random order) against $size_large" tool-huge tool-large "<=" 130
  if ran tool-huge; then
    echo "| $size_huge, peak resident memory per point of both clouds | ≤ 26 B | $(per_point tool-huge $((2 * n_huge))) B ($(mib "${mem[tool-huge]}") MiB) | $(judge "$(per_point tool-huge $((2 * n_huge))) <= 26") |"
  fi
elif [[ $huge != no ]]; then
  echo "| $size_huge (BENCH_LARGE=1) | ≤ 130x, ≤ 26 B | $huge | n/a |"
fi
if ((${#thread_differences[@]} == 0)); then
  compared="$size_large, $size_mixed, $size_wide in both orders, $size_wide_b"
  [[ $huge == yes ]] && compared+=", $size_huge"
  echo "| export, log and console text the same with -t 1 and all threads ($compared) | identical | identical | pass |"
else
  echo "| export, log and console text the same with -t 1 and all threads | identical | **differ: ${thread_differences[*]}** | **miss** |"
fi

echo
echo "| run | wall (s) | peak memory (MiB) | CPU, user + system (s) |"
echo "|---|---|---|---|"
row tool-small "ptdelta $size_small (method A)"
row tool-large "ptdelta $size_large (method A)"
row tool-mixed "ptdelta $size_mixed (method B)"
row tool-large-t1 "ptdelta $size_large (method A), -t 1"
row tool-mixed-t1 "ptdelta $size_mixed (method B), -t 1"
row tool-wide-random "ptdelta $size_wide, random order (method A)"
row tool-wide-random-t1 "ptdelta $size_wide, random order (method A), -t 1"
row tool-wide-scan "ptdelta $size_wide, scan-line order (method A)"
row tool-wide-scan-t1 "ptdelta $size_wide, scan-line order (method A), -t 1"
row tool-wide-b "ptdelta $size_wide_b, random order (method B)"
row tool-wide-b-t1 "ptdelta $size_wide_b, random order (method B), -t 1"
row tool-huge "ptdelta $size_huge, random order (method A)"
row tool-huge-t1 "ptdelta $size_huge, random order (method A), -t 1"
row tool-clean "ptdelta $size_spot (method A)"
row tool-spot "ptdelta $size_spot, a third of the points at 0 0 0 (method A)"
declare -A load_text=([txt]="text" [pcd]="binary PCD" [las]="LAS format 0" [laz1]="LAZ format 1, pointwise"
  [laz6]="LAZ format 6, layered")
for form in "${load_forms[@]}"; do
  for threads in 1 all; do
    name=load-$form$([[ $threads == all ]] && echo -all || true)  # a failed substitution would end the report
    with=$([[ $threads == all ]] && echo "$threads_all threads" || echo "-t 1")
    row "$name" "load $size_load points, ${load_text[$form]}, $with ($(du -m "${load_file[$form]}" | cut -f1) MB; read alone $(key "$name.out" seconds) s)"
  done
done
row tool-large-report "ptdelta $size_large (method A) with -json and -html"
if [[ $have_peer == yes ]]; then
  row peer-small "kd-tree from Python $size_small"
  row peer-large "kd-tree from Python $size_large"
  row peer-large-w2 "kd-tree from Python $size_large, 2 workers"
  row peer-wide-w2 "kd-tree from Python $size_wide (random order), 2 workers"
else
  echo "| kd-tree from Python | not run: $python cannot import scipy (Debian: python3-scipy) | | |"
fi

echo
echo "Stages of one run in one process (bench/stages, steady clock, seconds):"
echo
echo "| stage | $size_small | $size_large | $size_large, -t 1 | $size_mixed |"
echo "|---|---|---|---|---|"
stage_row() {  # stage_row KEY TEXT
  echo "| $2 | $(key stages-small.txt "$1") | $(key stages-large.txt "$1") | $(key stages-large-t1.txt "$1") | $(key stages-mixed.txt "$1") |"
}
stage_row load_reference "load reference"
stage_row load_test "load test"
stage_row comparison_pass "comparison pass (with the index build)"
stage_row index_build "... of which the index build"
stage_row statistics "statistics and log"
stage_row export "coloured PLY export"
stage_row total "total"
stage_row report_distribution "report: percentiles and histogram"
stage_row report_top_view "report: top view"
stage_row report_png "report: PNG encoding"
stage_row report_html_page "report: HTML page"
stage_row report_json "report: JSON"
stage_row report_json_html "report: all of -json and -html"
stage_row report_binary_ply "binary PLY export (-ob)"
stage_row method "method"
stage_row accepted "accepted points"
stage_row outliers "outliers"
echo
if [[ $same_outputs == yes ]]; then
  echo "bench/stages wrote the same export and log as the timed runs of ptdelta."
else
  echo "**bench/stages wrote another export or log than ptdelta: $same_outputs.**"
fi

if [[ $have_peer == yes ]] && ran peer-large; then
  echo
  echo "kd-tree from Python, steps of its last $size_large run (seconds): $(peer_steps peer-large)."
  if ran peer-wide-w2; then
    echo "With 2 workers, $size_wide: $(peer_steps peer-wide-w2)."
  fi
fi

if [[ -n $full_points ]]; then
  mismatches=$(key stages-small.txt full_scan_mismatches)
  full_sample=$(key stages-small.txt full_scan_seconds)
  echo
  echo "Full scan: $full_points test points taken at an even stride, each scanned against all $(key stages-small.txt points_reference) reference points, took ${full_sample} s;"
  echo "a full-scan query costs the same whatever the test point, so the full pass over all $(key stages-small.txt points_test) test points is about ${full_est} s,"
  echo "against ${indexed_pass} s for the indexed pass (index build included): ${pass_ratio}x."
  echo "The full scan shares the index's box test, which evaluates all six comparisons without branches, so"
  echo "its cost hardly depends on the order of the reference points; with them in a fixed random order the"
  echo "sample took $(key stages-small.txt full_scan_shuffled_seconds) s, about ${shuffled_est} s for the full pass: ${shuffled_ratio}x."
  if ran tool-small && awk -v w="${wall[tool-small]}" 'BEGIN { exit !(w >= 0.01) }'; then
    whole=$(calc "%.0f" "(${wall[tool-small]} - $indexed_pass + $full_est) / ${wall[tool-small]}")
    echo "Whole run with the full scan in scan-line order (the measured run with its pass replaced) against the whole measured run (${wall[tool-small]} s): about ${whole}x."
  fi
  mismatches=$((mismatches + $(key stages-small.txt full_scan_shuffled_mismatches)))
  if [[ $mismatches == 0 ]]; then
    echo "The sampled full-scan distances equal the indexed ones bit for bit."
  else
    echo "**$mismatches of the sampled full-scan distances (both orders) differ from the indexed ones.**"
  fi
fi

surface_report
tiles_report
} | tee "$data/results.md"
