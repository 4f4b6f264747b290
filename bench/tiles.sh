# tiles.sh - the tiled rows of bench/run.sh (sourced by it, using its helpers and clouds):
# shellcheck shell=bash disable=SC2154  # the variables and helpers are bench/run.sh's
# 10M x 10M tiled in one process against the run in memory, the same tasks through a one-node
# batch cluster, 100M x 100M likewise (BENCH_LARGE=1) and 300M x 300M from LAS, tiled only
# (BENCH_HUGE=1); every output of a tiled run compared with `cmp` to the run in memory.
#
# Tile edges: a quarter of the square's side plus 1 mm at 10M (160 mm, 16 tiles), and at 100M
# (501 mm, 16 tiles); 300M takes 350 mm (about 10 x 10 tiles of half the points of a 100M tile), which
# keeps its peak under 2 GiB. Every tiled run of a size uses the same edge, so the run in one
# process and the cluster's array run the same tasks.

tile_edge() {  # tile_edge COUNT -> a quarter of the side of the square holding COUNT points, + 1 mm
  awk -v n="$1" 'BEGIN { s = 200 * sqrt(n / 1000000) / 4; e = int(s); if (e < s) e++; print e + 1 }'
}

n_giant=$((300000000 / scale))
giant=no
cluster_dir=$data/slurm-cluster
cluster_sh=$root/tests/cluster/slurm_cluster.sh
submit=$root/scripts/ptdelta-slurm
cluster=no  # "up" once started; else why not

# 300M x 300M as LAS 1.2 point format 0 (20 bytes a point, about 6 GB each), in random order at
# the density of the 1M clouds (a 3.46 m square); generated once and kept, like the 100M clouds.
# The shuffle holds 24 bytes a point (7.2 GB) while a cloud is generated.
giant_cloud() {  # giant_cloud KIND SEED -> path
  local path=$data/$1-$(label "$n_giant")-random-$2.las
  if [[ ! -s $path || $make_clouds -nt $path ]]; then
    echo "generating $path" >&2
    "$make_clouds" "$1" "$n_giant" "$2" "$path" las "area=$n_giant" random
  fi
  echo "$path"
}

choose_giant() {  # sets giant=yes and the clouds, or giant to the reason it is skipped
  local avail_kb need_kb kind seed
  [[ ${BENCH_HUGE:-0} == 1 ]] || return 0
  avail_kb=$(df -Pk "$data" | awk 'NR == 2 { print $4 }')
  # The export (about 49 bytes a point), the work folder (16 bytes a point of each cloud in the
  # tiles, the halo included, and 12 bytes a test point) and 2 GB to spare.
  need_kb=$((n_giant * (49 + 16 + 17 + 12) / 1024 + 2 * 1024 * 1024))
  for kind in ref test; do
    seed=$([[ $kind == ref ]] && echo 91 || echo 92)
    [[ -s $data/$kind-$(label "$n_giant")-random-$seed.las ]] || need_kb=$((need_kb + n_giant * 20 / 1024))
  done
  if ((avail_kb < need_kb)); then
    giant="skipped: $((avail_kb / 1024 / 1024)) GB free on $(df -P "$data" | awk 'NR == 2 { print $6 }'), about $((need_kb / 1024 / 1024)) GB needed"
    echo "run.sh: $(label "$n_giant") x $(label "$n_giant") $giant" >&2
    return 0
  fi
  giant=yes
  ref_giant=$(giant_cloud ref 91)
  test_giant=$(giant_cloud test 92)
}

# ---------------------------------------------------------------- the cluster
stop_cluster() {
  [[ $cluster == up ]] || return 0
  cluster=stopped
  bash "$cluster_sh" stop "$cluster_dir" || echo "run.sh: the cluster in $cluster_dir did not stop cleanly" >&2
}

start_cluster() {  # starts the one-node cluster once; cluster=up, or the reason it is not
  local rc=0
  [[ $cluster == no ]] || return 0
  # A folder left by an interrupted bench: its daemons ended by their pid files, then anew.
  if [[ -d $cluster_dir ]]; then bash "$cluster_sh" stop "$cluster_dir" >/dev/null 2>&1 || true; fi
  rm -rf "$cluster_dir"
  echo "starting a one-node cluster in $cluster_dir ..." >&2
  # The cluster ends with the bench, whatever ends it.
  trap stop_cluster EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  bash "$cluster_sh" start "$cluster_dir" >"$data/slurm-cluster.log" 2>&1 || rc=$?
  if ((rc == 77)); then
    cluster="skipped: $(tail -n 1 "$data/slurm-cluster.log" | sed 's/^slurm_cluster: //')"
    echo "run.sh: the cluster rows are $cluster" >&2
    return 0
  elif ((rc != 0)); then
    cluster="skipped: the cluster did not start (see $data/slurm-cluster.log)"
    echo "run.sh: the cluster rows are $cluster" >&2
    bash "$cluster_sh" stop "$cluster_dir" >/dev/null 2>&1 || true
    return 0
  fi
  cluster=up
  eval "$(bash "$cluster_sh" env "$cluster_dir")"
}

# The jobs run under the cluster's daemons, out of GNU time's sight: each invocation of the tool
# (the plan, every task, the merge) is timed by a wrapper that appends "KIND wall peak user
# system" to NAME.jobs, so the peak is the largest of them and the CPU time their sum.
cluster_tool() {  # cluster_tool NAME -> path of the wrapper
  local wrapper=$data/$1-tool.sh
  {
    echo '#!/usr/bin/env bash'
    printf 'tool=%q jobs=%q\n' "$tool" "$data/$1.jobs"
    cat <<'WRAP'
kind=plan
case " $* " in *" -task "*) kind=task ;; *" -merge "*) kind=merge ;; esac
exec /usr/bin/time -a -o "$jobs" -f "$kind %e %M %U %S" "$tool" "$@"
WRAP
  } >"$wrapper"
  chmod +x "$wrapper"
  echo "$wrapper"
}

fresh_cluster_work() { rm -rf "$cluster_work"; }

measure_cluster() {  # measure_cluster NAME EDGE REF TEST EXPORT: the tiled run through the cluster
  local name=$1 edge=$2 ref=$3 test=$4 export=$5 wrapper
  [[ $cluster == up ]] || { status[$name]=$cluster; return 0; }
  wrapper=$(cluster_tool "$name")
  rm -f "$data/$name.jobs"
  cluster_work=$data/$name-work
  # The plan refuses a folder that holds the jobs' output of an earlier run.
  before_each=fresh_cluster_work measure "$name" status "$submit" --wait --ptdelta "$wrapper" --work "$data/$name-work" --tiles "$edge" \
    -r "$ref" -c "$test" -o "$export"
  ran "$name" || return 0
  # The last run's jobs: from its plan on.
  mem[$name]=$(awk '$1 == "plan" { m = 0 } $3 > m { m = $3 } END { print m + 0 }' "$data/$name.jobs")
  cpu[$name]=$(awk '$1 == "plan" { c = 0 } { c += $4 + $5 } END { printf "%.2f", c }' "$data/$name.jobs")
  tasks[$name]=$(wc -l <"$data/$name-work/tasks")
  slurm_steps[$name]=$(awk '$1 == "plan" { p = $2; t = 0; n = 0; m = 0 } $1 == "task" { t += $2; n++ } $1 == "merge" { m = $2 }
    END { printf "plan %.2f s, %d tasks %.2f s in all, merge %.2f s", p, n, t, m }' "$data/$name.jobs")
}

# ---------------------------------------------------------------- outputs compared
declare -A tasks slurm_steps tile_same
same_as_memory() {  # same_as_memory NAME MEMORY_RUN [console]: tile_same[NAME] = identical / what differs
  local name=$1 memory=$2 differ=() a b
  a=$data/result-${memory#tool-}.ply
  b=$data/result-$name.ply
  cmp -s "$a" "$b" || differ+=(export)
  cmp -s "$a.log" "$b.log" || differ+=(log)
  if [[ ${3:-} == console ]] && ! cmp -s "$data/$memory.err" "$data/$name.err"; then differ+=("console text"); fi
  if ((${#differ[@]} == 0)); then tile_same[$name]=identical; else tile_same[$name]="differ: ${differ[*]}"; fi
}

measure_tiled() {  # measure_tiled NAME EDGE REF TEST EXPORT: the tiled run in one process
  local name=$1 edge=$2 ref=$3 test=$4 export=$5
  measure "$name" done "$tool" -r "$ref" -c "$test" -o "$export" -tiles "$edge"
}

measure_tiles() {  # every tiled row; the in-memory runs tool-wide-random and tool-huge must have run
  local edge
  edge=$(tile_edge "$n_wide")
  echo "timing $(label "$n_wide") x $(label "$n_wide") tiled (-tiles $edge) in one process and through the cluster ..." >&2
  measure_tiled tiles-wide "$edge" "$ref_wide_random" "$test_wide_random" "$data/result-tiles-wide.ply"
  ran tool-wide-random && ran tiles-wide &&
    same_as_memory tiles-wide tool-wide-random console
  start_cluster
  measure_cluster slurm-wide "$edge" "$ref_wide_random" "$test_wide_random" "$data/result-slurm-wide.ply"
  ran tool-wide-random && ran slurm-wide &&
    same_as_memory slurm-wide tool-wide-random
  rm -rf "$data/slurm-wide-work"
  if [[ $huge == yes ]]; then
    edge=$(tile_edge "$n_huge")
    echo "timing $(label "$n_huge") x $(label "$n_huge") tiled (-tiles $edge) in one process and through the cluster ($slow_repeat runs each) ..." >&2
    runs=$slow_repeat measure_tiled tiles-huge "$edge" "$ref_huge" "$test_huge" "$data/result-tiles-huge.ply"
    ran tool-huge && ran tiles-huge && same_as_memory tiles-huge tool-huge console
    rm -f "$data/result-tiles-huge.ply"  # 4.9 GB, kept only until compared
    runs=$slow_repeat measure_cluster slurm-huge "$edge" "$ref_huge" "$test_huge" "$data/result-slurm-huge.ply"
    ran tool-huge && ran slurm-huge && same_as_memory slurm-huge tool-huge
    rm -rf "$data/result-slurm-huge.ply" "$data/slurm-huge-work"
  fi
  stop_cluster
  if [[ $giant == yes ]]; then
    # Half the points a tile of the 100M edge holds: a run in one process keeps every task's
    # result (5 bytes a test point, 1.4 GiB at 300M) beside the two tiles it compares at once.
    edge=350
    echo "timing $(label "$n_giant") x $(label "$n_giant") from LAS, tiled (-tiles $edge) ($slow_repeat runs) ..." >&2
    runs=$slow_repeat time_limit=${BENCH_HUGE_TIMEOUT:-3600} measure_tiled tiles-giant "$edge" "$ref_giant" "$test_giant" \
      "$data/result-tiles-giant.ply"
    rm -f "$data/result-tiles-giant.ply" "$data/result-tiles-giant.ply.log"  # about 15 GB; nothing to compare it with
  fi
}

# ---------------------------------------------------------------- report
same_row() {  # same_row NAME TEXT
  local result=${tile_same[$1]:-}
  if [[ -z $result ]]; then
    echo "| $2 | identical | not compared: ${status[$1]:-not run} | **miss** |"
  elif [[ $result == identical ]]; then
    echo "| $2 | identical | identical | pass |"
  else
    echo "| $2 | identical | **$result** | **miss** |"
  fi
}

peak_row() {  # peak_row NAME TEXT LIMIT_MIB
  if ran "$1"; then
    echo "| $2 | ≤ $3 MiB | $(mib "${mem[$1]}") MiB | $(judge "${mem[$1]} <= $3 * 1024") |"
  else
    echo "| $2 | ≤ $3 MiB | not measured: ${status[$1]:-not run} | **miss** |"
  fi
}

tiles_report() {
  local size_wide size_huge size_giant edge_wide edge_huge
  size_wide="$(label "$n_wide") x $(label "$n_wide")"
  size_huge="$(label "$n_huge") x $(label "$n_huge")"
  size_giant="$(label "$n_giant") x $(label "$n_giant")"
  edge_wide=$(tile_edge "$n_wide")
  edge_huge=$(tile_edge "$n_huge")
  echo
  echo "Tiled runs: \`-tiles $edge_wide\` at $size_wide${tasks[slurm-wide]:+ (${tasks[slurm-wide]} tiles)}, \`-tiles $edge_huge\` at $size_huge${tasks[slurm-huge]:+ (${tasks[slurm-huge]} tiles)} and $size_giant,"
  echo "all threads, against the run in memory of the same clouds in this bench run (random order). The cluster rows run"
  echo "scripts/ptdelta-slurm --wait on a one-node cluster of tests/cluster/slurm_cluster.sh (one CPU a task, the tasks"
  echo "as one array), from the plan to the merge's end; their peak is the largest of the plan, the tasks and the merge,"
  echo "their CPU time the sum of them."
  echo
  echo "| goal | target | measured | result |"
  echo "|---|---|---|---|"
  same_row tiles-wide "$size_wide tiled in one process: export, log and console text the same as in memory"
  ratio_row "$size_wide tiled in one process against the run in memory (the goal is set at $size_huge)" tiles-wide tool-wide-random "<=" 1.1
  if [[ $cluster == up || $cluster == stopped ]]; then
    same_row slurm-wide "$size_wide through the cluster: export and log the same as in memory"
    ratio_row "$size_wide through the cluster against tiled in one process" slurm-wide tiles-wide "<=" 1.25
  else
    echo "| $size_wide through the cluster against tiled in one process | ≤ 1.25x | $cluster | n/a |"
  fi
  if [[ $huge == yes ]]; then
    same_row tiles-huge "$size_huge tiled in one process: export, log and console text the same as in memory"
    peak_row tiles-huge "$size_huge tiled in one process, peak resident memory (1.5 GiB)" 1536
    ratio_row "$size_huge tiled in one process against the run in memory" tiles-huge tool-huge "<=" 1.1
    if [[ $cluster == up || $cluster == stopped ]]; then
      same_row slurm-huge "$size_huge through the cluster: export and log the same as in memory"
      ratio_row "$size_huge through the cluster against tiled in one process" slurm-huge tiles-huge "<=" 1.25
    fi
  else
    echo "| $size_huge tiled | ≤ 1.5 GiB, ≤ 1.1x | $([[ $huge == no ]] && echo "not run (BENCH_LARGE=1)" || echo "$huge") | n/a |"
  fi
  if [[ $giant == yes ]]; then
    if ran tiles-giant; then
      echo "| $size_giant from LAS, tiled in one process, completes | completes | completes | pass |"
    else
      echo "| $size_giant from LAS, tiled in one process, completes | completes | ${status[tiles-giant]:-not run} | **miss** |"
    fi
    peak_row tiles-giant "$size_giant tiled, peak resident memory (2 GiB)" 2048
    ratio_row "$size_giant tiled against $size_huge tiled" tiles-giant tiles-huge "<=" 3.3
  elif [[ $giant != no ]]; then
    echo "| $size_giant from LAS, tiled (BENCH_HUGE=1) | completes, ≤ 2 GiB, ≤ 3.3x | $giant | n/a |"
  fi
  echo
  echo "| run | wall (s) | peak memory (MiB) | CPU, user + system (s) |"
  echo "|---|---|---|---|"
  row tool-wide-random "ptdelta $size_wide in memory"
  row tiles-wide "ptdelta $size_wide, \`-tiles $edge_wide\`, one process"
  row slurm-wide "ptdelta-slurm $size_wide, \`--tiles $edge_wide\`, one node, 2 CPUs"
  row tool-huge "ptdelta $size_huge in memory"
  row tiles-huge "ptdelta $size_huge, \`-tiles $edge_huge\`, one process"
  row slurm-huge "ptdelta-slurm $size_huge, \`--tiles $edge_huge\`, one node, 2 CPUs"
  row tiles-giant "ptdelta $size_giant from LAS (2 x $(du -m "${ref_giant:-/dev/null}" | cut -f1) MB), \`-tiles $edge_huge\`, one process"
  local name
  for name in slurm-wide slurm-huge; do
    [[ -n ${slurm_steps[$name]:-} ]] && echo && echo "Through the cluster, $name, the jobs of its last run: ${slurm_steps[$name]}."
  done
  return 0
}
