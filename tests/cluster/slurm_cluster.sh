#!/usr/bin/env bash
# slurm_cluster.sh - a one-node batch cluster in one folder, for the tests and the bench
# Usage: slurm_cluster.sh start DIR | stop DIR | env DIR
#
# start: the munge key, munged, slurm.conf and cgroup.conf, slurmctld and slurmd, all under DIR
#        (nothing in /etc, no service manager); returns once a first job has run. Clients find the
#        cluster through SLURM_CONF=DIR/slurm.conf (`env DIR` prints the export line).
#        Status 77 when it cannot run here (not root, or the daemons are not installed).
# stop:  cancels what is left, then ends the three daemons by the pids in their pid files and
#        waits for them, so nothing of the cluster keeps running.
set -euo pipefail

usage() {
  echo "usage: $0 start DIR | stop DIR | env DIR" >&2
  exit 2
}
(($# == 2)) || usage
action=$1
mkdir -p "$2"
dir=$(cd "$2" && pwd)
conf=$dir/slurm.conf

log() { echo "slurm_cluster: $*" >&2; }

# The TCP ports something listens on (state 0A in /proc/net/tcp*), one a line, in decimal.
listening_ports() {
  local sl local_address state rest
  cat /proc/net/tcp /proc/net/tcp6 2>/dev/null | while read -r sl local_address _ state rest; do
    [[ $state == 0A ]] && echo $((16#${local_address##*:}))
  done
  return 0
}

# Two free TCP ports next to each other, drawn at random so that two clusters (or a daemon of
# another run) on the same machine do not meet.
free_port_pair() {
  local used port tries
  used=$(listening_ports)
  for ((tries = 0; tries < 200; ++tries)); do
    port=$((20000 + RANDOM % 30000))
    if ! grep -qx -e "$port" -e "$((port + 1))" <<<"$used"; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# Polls CONDITION (a command) every 0.05 s for at most SECONDS s.
wait_for() {
  local seconds=$1
  shift
  local end=$((SECONDS + seconds + 1))
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.05
  done
}

node_idle() { [[ $(sinfo -h -N -o %t 2>/dev/null) == idle ]]; }
socket_up() { [[ -S $dir/munge/munge.socket.2 ]]; }
pid_file_written() { [[ -s $1 ]]; }

show_logs() {
  local f
  for f in "$dir"/log/*.log; do
    [[ -e $f ]] || continue
    log "--- $f"
    tail -n 30 "$f" >&2
  done
}

write_config() {
  local host=$1 port=$2 node
  # The node as slurmd sees it (CPUs, sockets, cores, memory), addressed through the loopback.
  node=$(slurmd -C | head -n 1)
  node=${node/#NodeName=+([^ ])/NodeName=$host}
  cat >"$conf" <<CONF
ClusterName=ptdelta
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket.2
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
MpiDefault=none
MailProg=/bin/true
ReturnToService=2
# No cgroups and no accounting: this machine delegates no cgroup and runs no database.
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
# One CPU a task, so the tasks of an array share the node instead of taking it whole.
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
# A freed CPU takes the next task at once rather than at the next scheduling round or
# after the default epilogue's delay.
SchedulerParameters=batch_sched_delay=0
Epilog=/bin/true
$node NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=tiles Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
  # slurmd loads a cgroup plugin even with none of the above; v1 tolerates an empty /sys/fs/cgroup.
  printf 'CgroupPlugin=cgroup/v1\n' >"$dir/cgroup.conf"
}

start() {
  local tool host port
  if ((EUID != 0)); then
    log "needs root (the daemons run as root here)"
    exit 77
  fi
  for tool in munged mungekey slurmctld slurmd sinfo sbatch squeue scancel; do
    if ! command -v "$tool" >/dev/null; then
      log "$tool is not installed (Debian: slurmctld slurmd slurm-client munge)"
      exit 77
    fi
  done
  if [[ -e $dir/slurmctld.pid || -e $dir/munge/munged.pid ]]; then
    log "$dir holds a cluster already; stop it first"
    exit 1
  fi
  shopt -s extglob
  host=$(hostname -s)
  port=$(free_port_pair) || { log "no free port pair"; exit 1; }
  mkdir -p "$dir/munge" "$dir/state" "$dir/spool" "$dir/log"
  # munged refuses a socket folder that others could write to, and clients must reach it.
  chmod 0755 "$dir" "$dir/munge"
  mungekey --create --keyfile="$dir/munge/munge.key"
  chmod 0600 "$dir/munge/munge.key"
  munged --socket="$dir/munge/munge.socket.2" --key-file="$dir/munge/munge.key" \
    --pid-file="$dir/munge/munged.pid" --log-file="$dir/log/munged.log" \
    --seed-file="$dir/munge/munged.seed" --force
  wait_for 10 socket_up || { log "munged did not start"; show_logs; exit 1; }

  write_config "$host" "$port"
  export SLURM_CONF=$conf
  # -c: a fresh state folder, no jobs of an earlier cluster to recover.
  slurmctld -c -f "$conf"
  slurmd -N "$host" -f "$conf"
  if ! wait_for 30 node_idle; then
    log "the node did not come up idle: $(sinfo -h -N -o '%t %E' 2>&1 || true)"
    show_logs
    stop
    exit 1
  fi
  wait_for 5 pid_file_written "$dir/slurmctld.pid"
  wait_for 5 pid_file_written "$dir/slurmd.pid"
  # Ready means a job runs: the controller schedules its first job some 3 s after it starts
  # (later ones within a second of their submission, or at once when a job ends), so one
  # no-op job here keeps that delay out of what runs on the cluster, and proves that the
  # node can launch jobs at all.
  local id
  id=$(sbatch --parsable --job-name=warm-up --output="$dir/log/warm-up.out" --wrap 'echo ran')
  if ! wait_for 30 job_ended "${id%%;*}" || [[ $(cat "$dir/log/warm-up.out" 2>/dev/null) != ran ]]; then
    log "the first job did not run"
    show_logs
    stop
    exit 1
  fi
}

job_ended() { [[ -z $(squeue -h -j "$1" -t PD,CF,R,CG -o %i 2>/dev/null) ]]; }

# Ends the processes whose pids the FILES hold, and waits for them: TERM to all at once (each
# daemon takes up to about 2 s to leave), then KILL to any still there after 10 s.
end_by_pid_files() {
  local file pid tries alive
  local -a pids=()
  for file in "$@"; do
    [[ -s $file ]] || continue
    pid=$(<"$file")
    [[ $pid =~ ^[0-9]+$ ]] && kill -TERM "$pid" 2>/dev/null && pids+=("$pid")
  done
  for ((tries = 0; tries < 200; ++tries)); do
    alive=()
    for pid in "${pids[@]}"; do
      kill -0 "$pid" 2>/dev/null && alive+=("$pid")
    done
    ((${#alive[@]})) || break
    sleep 0.05
  done
  for pid in "${alive[@]}"; do
    log "pid $pid did not end on TERM; killing it"
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -f "$@"
}

stop() {
  export SLURM_CONF=$conf
  if [[ -s $dir/slurmctld.pid && -s $dir/slurmd.pid ]]; then
    # Jobs still queued or running end with the cluster, not after it.
    scancel --quiet --user=root 2>/dev/null || true
    wait_for 10 jobs_gone || log "jobs still listed at stop: $(squeue -h 2>&1 || true)"
  fi
  end_by_pid_files "$dir/slurmd.pid" "$dir/slurmctld.pid" "$dir/munge/munged.pid"
}

jobs_gone() { [[ -z $(squeue -h -t PD,R,CG,CF -o %i 2>/dev/null) ]]; }

case $action in
  start) start ;;
  stop) stop ;;
  env) printf 'export SLURM_CONF=%q\n' "$conf" ;;
  *) usage ;;
esac
