#!/bin/bash
# A one-node Slurm cluster in a scratch folder, for the tests and benchmarks of the cluster
# recipes: slurm.conf generated there (auth/none: no munge key needed), slurmctld and slurmd
# started from it, all state and logs kept there.
#   local-slurm.sh start DIR [CPUS]   prints the SLURM_CONF to export; exit 1 when the daemons
#                                     do not come up (their logs are DIR/*.log)
#   local-slurm.sh stop DIR           cancels every job of the cluster and stops the daemons
set -uo pipefail

cmd=${1:-} dir=${2:-}
if [[ -z $cmd || -z $dir ]]; then
  echo "usage: local-slurm.sh start|stop DIR [CPUS]" >&2
  exit 2
fi
dir=$(realpath -m "$dir")
conf=$dir/slurm.conf

# A TCP port nothing listens on, from a range away from the usual services.
free_port() {
  local p
  while :; do
    p=$((30000 + RANDOM % 30000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return
    fi
  done
}

stop() {
  if [[ -f $conf ]]; then
    SLURM_CONF=$conf timeout 10 scancel --full --quiet --partition=local 2>/dev/null || true
  fi
  local name pid
  for name in slurmd slurmctld; do
    pid=$(cat "$dir/$name.mypid" 2>/dev/null) || continue
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$dir/$name.mypid"
  done
}

case $cmd in
  stop)
    stop
    exit 0
    ;;
  start) ;;
  *)
    echo "local-slurm.sh: unknown command $cmd" >&2
    exit 2
    ;;
esac

for tool in slurmctld slurmd sinfo sbatch; do
  command -v "$tool" > /dev/null || { echo "local-slurm.sh: $tool is not installed (Debian: slurm-wlm)" >&2; exit 1; }
done
cpus=${3:-$(nproc)}
user=$(id -un)
mkdir -p "$dir/state" "$dir/spool"
cat > "$conf" <<CONF
ClusterName=brightloom-test
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
AuthType=auth/none
CredType=cred/none
SlurmUser=$user
SlurmdUser=$user
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/pgid
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
ReturnToService=2
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
NodeName=localnode NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=1000 State=UNKNOWN
PartitionName=local Nodes=localnode Default=YES MaxTime=INFINITE State=UP
CONF

# -D: in the foreground of their own sessions, so that the pids kept are the daemons'.
setsid slurmctld -D -i -f "$conf" > "$dir/slurmctld.out" 2>&1 < /dev/null &
echo $! > "$dir/slurmctld.mypid"
setsid slurmd -D -N localnode -f "$conf" > "$dir/slurmd.out" 2>&1 < /dev/null &
echo $! > "$dir/slurmd.mypid"

for _ in $(seq 60); do
  state=$(SLURM_CONF=$conf timeout 5 sinfo -h -N -o %t 2>/dev/null)
  if [[ $state == idle ]]; then
    echo "$conf"
    exit 0
  fi
  sleep 0.5
done
echo "local-slurm.sh: the daemons did not come up; see $dir/slurmctld.log and $dir/slurmd.log" \
  "($dir/slurmctld.out, $dir/slurmd.out)" >&2
stop
exit 1
