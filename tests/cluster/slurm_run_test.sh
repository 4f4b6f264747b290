#!/usr/bin/env bash
# slurm_run_test.sh - a tiled run through scripts/ptdelta-slurm on a one-node cluster, against the
# run in memory: every output byte the same, a task that fails once retried, a lost task refused.
# Usage: slurm_run_test.sh PTDELTA SOURCE_DIR. Status 77 (skipped) where the cluster cannot run
# here or PTDELTA_SKIP_SLURM_TEST is set.
set -euo pipefail

ptdelta=$1
source_dir=$2
cluster_sh=$source_dir/tests/cluster/slurm_cluster.sh
submit=$source_dir/scripts/ptdelta-slurm

if [[ -n ${PTDELTA_SKIP_SLURM_TEST:-} && ${PTDELTA_SKIP_SLURM_TEST} != 0 ]]; then
  echo "PTDELTA_SKIP_SLURM_TEST is set"
  exit 77
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/ptdelta-slurm.XXXXXX")
cleanup() {
  local status=$?
  bash "$cluster_sh" stop "$tmp/cluster" || status=1
  if ((status == 0)); then rm -rf "$tmp"; else echo "kept $tmp for a look" >&2; fi
  exit "$status"
}
failures=0
check() {
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}

start_status=0
bash "$cluster_sh" start "$tmp/cluster" || start_status=$?
if ((start_status == 77)); then
  rm -rf "$tmp"
  echo "no one-node cluster here (root and Debian's slurmctld slurmd slurm-client munge are needed)"
  exit 77
fi
trap cleanup EXIT
# An interrupted or timed-out test still stops its cluster (the EXIT trap runs on exit).
trap 'exit 130' INT
trap 'exit 143' TERM
((start_status == 0)) || exit 1
eval "$(bash "$cluster_sh" env "$tmp/cluster")"

tool=$ptdelta
tile_options=(--tiles 20)  # six tiles of the example clouds

# FAILS_TASK N [ONCE]: the tool, except that task N fails (only its first run with ONCE).
failing_tool() {
  local name=$1 task=$2 once=${3:-}
  cat >"$tmp/$name" <<WRAP
#!/usr/bin/env bash
if [[ " \$* " == *" -task $task "* ]]; then
  if [[ -z "$once" || ! -e "$tmp/$name.failed" ]]; then
    touch "$tmp/$name.failed"
    exit 3
  fi
fi
exec $(printf %q "$tool") "\$@"
WRAP
  chmod +x "$tmp/$name"
}
failing_tool flaky 1 once
failing_tool broken 0

# The same relative names in both folders, so that the log and the reports name the same files.
run_options=(-r "$source_dir/examples/reference.txt" -c "$source_dir/examples/test.txt" -d 3 -t 2
  -o out.ply -json out.json -html out.html)
mkdir -p "$tmp/memory" "$tmp/slurm" "$tmp/lost"
(cd "$tmp/memory" && "$ptdelta" "${run_options[@]}" >console.txt 2>&1)

start=$(date +%s.%N)
status=0
(cd "$tmp/slurm" && "$submit" --wait --ptdelta "$tmp/flaky" --work "$tmp/slurm/work" "${tile_options[@]}" \
  "${run_options[@]}" >console.txt 2>&1) || status=$?
end=$(date +%s.%N)
echo "the run through the cluster took $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }') s"
check "the run through the cluster ends with status 0 (it was $status)" test "$status" -eq 0
check "array and merge job ids printed" grep -q -E '^array [0-9]+$' "$tmp/slurm/console.txt"
check "the failed task ran again" grep -q 'task 1 ended with status 3; running it once more' \
  "$tmp/slurm/work/jobs/task-1.out"
for f in out.ply out.ply.log out.html; do
  check "$f byte for byte" cmp "$tmp/memory/$f" "$tmp/slurm/$f"
done
without_seconds() { python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); d.pop("seconds"); print(json.dumps(d))' "$1"; }
check "out.json byte for byte but the seconds" cmp <(without_seconds "$tmp/memory/out.json") \
  <(without_seconds "$tmp/slurm/out.json")

# A task that fails twice: the array ends all the same, the merge runs, refuses, and its status
# comes back; no output is written.
status=0
(cd "$tmp/lost" && "$submit" --wait --ptdelta "$tmp/broken" --work "$tmp/lost/work" "${tile_options[@]}" \
  "${run_options[@]}" >console.txt 2>&1) || status=$?
check "a lost task makes the merge fail with status 1 (it was $status)" test "$status" -eq 1
check "no export from a refused merge" test ! -e "$tmp/lost/out.ply"

if ((failures)); then
  for f in "$tmp"/slurm/console.txt "$tmp"/lost/console.txt "$tmp"/slurm/work/jobs/*.out; do
    echo "--- $f" >&2
    cat "$f" >&2
  done
  exit 1
fi
