#!/usr/bin/env bash
# Runs quarrow-slurm on a real one-node Slurm cluster started here: munged
# (as the munge user, unless one already answers on /run/munge), slurmctld and
# slurmd on 127.0.0.1 in the foreground, their state, spool and logs under a
# temporary folder (proctrack/linuxproc, task/none, no accounting). Over a
# generated address-book image of a few hundred MB it runs find (with
# --details), scan and contacts (parts merged) as 8-shard job arrays, and
# find over two inputs in one submission, compares each joined report with one run's byte for byte, and
# checks that a shard that fails fails the join,
# naming the shard, with no report written. Every daemon it started is
# stopped by its PID on exit.
#
#   scripts/slurm-test.sh [BUILD_DIR] [--size-mib N]    (default build/, 256)
#   scripts/slurm-test.sh [BUILD_DIR] --run COMMAND...
#
# With --run, COMMAND runs instead of the tests while the cluster is up, with
# SLURM_CONF set (the benchmark's Slurm figures); its status is the script's.
#
# Needs root (slurmd runs jobs as their users) and Debian's slurm-wlm and
# munge (scripts/install-deps.sh installs them). Exit 0 when all is equal.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build
size_mib=256
run=()
while (($#)); do
  case "$1" in
    --size-mib) size_mib=$2; shift 2 ;;
    --run) shift; run=("$@"); break ;;
    *) build=$(realpath "$1"); shift ;;
  esac
done
cli=$build/quarrow-cli
make_sample=$build/quarrow-make-sample
[[ -x $cli && -x $make_sample ]] || { echo "slurm-test: no quarrow-cli and quarrow-make-sample in $build" >&2; exit 1; }
((EUID == 0)) || { echo "slurm-test: needs root (slurmd)" >&2; exit 1; }
for program in munged slurmctld slurmd sbatch scontrol; do
  command -v "$program" >/dev/null || { echo "slurm-test: $program not found (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quarrow-slurm-test.XXXXXX")
chmod 755 "$work"
pids=()
stop_daemons() {
  local pid
  for pid in "${pids[@]+"${pids[@]}"}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]+"${pids[@]}"}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop_daemons EXIT
started=$(date +%s)

# --- munge ------------------------------------------------------------------
mkdir -p /run/munge /var/log/munge /var/lib/munge /etc/munge
chown munge:munge /run/munge /var/log/munge /var/lib/munge
chmod 755 /run/munge
if ! munge -n 2>/dev/null | unmunge >/dev/null 2>&1; then
  if [[ ! -s /etc/munge/munge.key ]]; then
    dd if=/dev/urandom of=/etc/munge/munge.key bs=1024 count=1 status=none
  fi
  chown munge:munge /etc/munge/munge.key
  chmod 400 /etc/munge/munge.key
  # Its own files in a folder it owns; its chatter in a log, not on the terminal.
  mkdir -p "$work/munge"
  chown munge:munge "$work/munge"
  runuser -u munge -- munged --foreground --force --log-file="$work/munge/munged.log" \
    --pid-file="$work/munge/munged.pid" --seed-file="$work/munge/munged.seed" \
    > "$work/munge/munged.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do munge -n 2>/dev/null | unmunge >/dev/null 2>&1 && break; sleep 0.1; done
  munge -n | unmunge >/dev/null || { echo "slurm-test: munged does not answer" >&2; cat "$work/munge/munged.out" >&2; exit 1; }
fi

# --- slurm ------------------------------------------------------------------
read -r ctld_port node_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
mkdir -p "$work/state" "$work/spool"
cpus=$(nproc)
cat > "$work/slurm.conf" <<CONF
ClusterName=quarrowtest
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$node_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
# Jobs start the moment a CPU is free: a shard takes seconds, not minutes.
SchedulerType=sched/builtin
SchedulerParameters=sched_min_interval=0,batch_sched_delay=0
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MinJobAge=600
MpiDefault=none
NodeName=localhost NodeAddr=127.0.0.1 NodeHostname=localhost CPUs=$cpus State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$work/slurm.conf
slurmctld -D -i -f "$SLURM_CONF" > "$work/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -N localhost -f "$SLURM_CONF" > "$work/slurmd.out" 2>&1 &
pids+=($!)
idle=0
for _ in $(seq 300); do
  if scontrol show node localhost 2>/dev/null | grep -q 'State=IDLE'; then idle=1; break; fi
  sleep 0.1
done
if ((!idle)); then
  echo "slurm-test: the node never came up idle" >&2
  tail -n 20 "$work"/slurmctld.log "$work"/slurmd.log "$work"/*.out >&2 || true
  exit 1
fi
echo "slurm-test: one-node cluster up in $(($(date +%s) - started)) s ($cpus CPUs)"
if ((${#run[@]})); then
  status=0
  "${run[@]}" || status=$?
  exit "$status"
fi

# --- the input --------------------------------------------------------------
"$make_sample" --layout 34 --persons 2000 --seed 3 "$work/sample.db" >/dev/null
size=$((size_mib * 1024 * 1024))
sample_size=$(stat -c %s "$work/sample.db")
for ((k = 0; k < size / sample_size; k++)); do cat "$work/sample.db"; done > "$work/image.bin"
head -c $((size % sample_size)) "$work/sample.db" >> "$work/image.bin"
shard=$(((size + 7) / 8))
printf '%s\n' "UID INTEGER" "record_id INTEGER" "property INTEGER" "identifier INTEGER" \
  "label INTEGER" "value TEXT" > "$work/mv.ddl"

slurm=$root/scripts/quarrow-slurm
failed=0
# check NAME REPORT COMMAND...: runs COMMAND once on the image and compares.
check() {
  local name=$1 joined=$2; shift 2
  if cmp -s "$joined" <("$@"); then
    echo "slurm-test: $name: shards joined equal one run ($(wc -l < "$joined") lines)"
  else
    echo "slurm-test: $name: the joined report differs from one run's" >&2
    failed=1
  fi
}

"$slurm" --cli "$cli" --shard-size "$shard" --output-dir "$work/find" --poll 0.5 \
  find --ddl "$work/mv.ddl" --details -- "$work/image.bin"
check "find --details" "$work/find/image.bin.tsv" \
  "$cli" find --quiet --ddl "$work/mv.ddl" --details "$work/image.bin" -
"$slurm" --cli "$cli" --shard-size "$shard" --output-dir "$work/scan" --poll 0.5 \
  scan --format csv -- "$work/image.bin"
check "scan --format csv" "$work/scan/image.bin.scan" "$cli" scan --quiet --format csv "$work/image.bin"

"$slurm" --cli "$cli" --shard-size "$shard" --output-dir "$work/contacts" --poll 0.5 \
  contacts --details --format csv -- "$work/image.bin"
check "contacts --details --format csv (parts merged)" "$work/contacts/image.bin.csv" \
  "$cli" contacts --quiet --details --format csv "$work/image.bin" -

# Two inputs in one submission, their shards shared out to three tasks.
"$slurm" --cli "$cli" --shard-size "$shard" --tasks 3 --output-dir "$work/two" --poll 0.5 \
  find --format jsonl -- "$work/image.bin" "$work/sample.db"
check "find --format jsonl, input 1 of 2" "$work/two/image.bin.jsonl" \
  "$cli" find --quiet --format jsonl "$work/image.bin" -
check "find --format jsonl, input 2 of 2" "$work/two/sample.db.jsonl" \
  "$cli" find --quiet --format jsonl "$work/sample.db" -

# A shard that fails: the join is cancelled and says which.
cp "$work/sample.db" "$work/doomed.db"
printf '#!/bin/sh\ncase "$*" in *"--range 0:"*) exit 3 ;; esac\nexec %q "$@"\n' "$cli" > "$work/flaky-cli"
chmod +x "$work/flaky-cli"
if "$slurm" --cli "$work/flaky-cli" --shard-size 100000 --output-dir "$work/doomed" --poll 0.5 \
     find -- "$work/doomed.db" 2> "$work/doomed.err"; then
  echo "slurm-test: a failed shard did not fail the run" >&2; failed=1
elif ! grep -q "shard 0 (bytes 0:100000 of $work/doomed.db) failed" "$work/doomed.err" ||
     [[ -e $work/doomed/doomed.db.tsv ]]; then
  echo "slurm-test: a failed shard was not named, or a report was written:" >&2
  cat "$work/doomed.err" >&2; failed=1
else
  echo "slurm-test: a failed shard failed the run: $(grep -m1 'shard 0' "$work/doomed.err")"
fi

echo "slurm-test: $(($(date +%s) - started)) s in all"
exit "$failed"
