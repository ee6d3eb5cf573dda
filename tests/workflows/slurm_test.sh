#!/usr/bin/env bash
# The cohort through a real scheduler: a one-node Slurm cluster on localhost (munged,
# slurmctld and slurmd, started here in a temporary folder, each stopped by its process
# id whatever happens), workflows/slurm_array.sh submitted as the README says, and the
# Snakefile run through Snakemake's --cluster sbatch. The good subjects' outputs must
# equal direct runs byte for byte; the corrupt one fails alone, its reason in its log.
# Installs nothing: where Slurm is missing or its daemons cannot start, it says why and
# exits 77 (skipped).
#   tests/workflows/slurm_test.sh MIRLUNE MAKE_SERIES SNAKEFILE SLURM_SCRIPT
set -euo pipefail
mirlune=$(realpath "$1") make_series=$(realpath "$2") snakefile=$(realpath "$3") slurm=$(realpath "$4")
here=$(realpath "$(dirname "$0")")
skip() { echo "slurm: skipped: $*"; exit 77; }
for command in munged mungekey slurmctld slurmd sbatch sinfo snakemake; do
  command -v "$command" > /dev/null || PATH=$PATH:/usr/sbin command -v "$command" > /dev/null ||
    skip "$command is not installed (Debian's slurm-wlm and munge; make test installs them)"
done
PATH=$PATH:/usr/sbin

work=$(mktemp -d /tmp/mirlune-slurm-XXXXXX)
chmod 755 "$work"
daemons=()
stop() {
  local pid
  for pid in "${daemons[@]}"; do kill "$pid" 2> /dev/null || true; done
  for pid in "${daemons[@]}"; do wait "$pid" 2> /dev/null || true; done
  rm -rf "$work"
}
trap stop EXIT
cd "$work"
status=0
fail() { echo "slurm: $*"; status=1; }

# The cluster: a munge key of its own, free ports, the node as this machine describes itself.
mkdir -p munge state spool daemons logs
chmod 700 munge
mungekey -c -k munge/munge.key
ports=$(/usr/bin/python3 -c 'import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
read -r controller_port node_port <<< "$ports"
node=$(hostname -s)
memory=$(awk '/MemTotal/ {print int($2 / 1024 * 0.8)}' /proc/meminfo)
cat > slurm.conf << EOF
ClusterName=mirlunetest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$controller_port
SlurmdPort=$node_port
SlurmUser=$(id -un)
AuthType=auth/munge
AuthInfo=socket=$work/munge/socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/daemons/slurmctld.pid
SlurmdPidFile=$work/daemons/slurmd.pid
SlurmctldLogFile=$work/daemons/slurmctld.log
SlurmdLogFile=$work/daemons/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
MinJobAge=600
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=$memory State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF=$work/slurm.conf
munged -F -f --socket="$work/munge/socket" --key-file="$work/munge/munge.key" --log-file="$work/daemons/munged.log" \
  --pid-file="$work/munge/munged.pid" --seed-file="$work/munge/seed" 2> daemons/munged.err &
daemons+=($!)
slurmctld -D > /dev/null 2>&1 &
daemons+=($!)
slurmd -D > /dev/null 2>&1 &
daemons+=($!)
for _ in $(seq 100); do
  [ "$(sinfo -h -o %t 2> /dev/null)" = idle ] && break
  sleep 0.2
done
if [ "$(sinfo -h -o %t 2> /dev/null)" != idle ]; then
  skip "the one-node cluster did not come up: $(tail -n 2 daemons/*.log 2> /dev/null | tr '\n' ' ')"
fi
echo "slurm: a one-node cluster on $node, $(nproc) CPUs"

source "$here/cohort.sh"

# The array script, as the README submits it; the corrupt subject's task fails, so --wait
# reports a failure.
find data/sub-* -path '*/pet/*' -name 'sub-*_pet.nii*' | sort > series.txt
[ "$(wc -l < series.txt)" -eq 4 ] || fail "the README's find listed $(wc -l < series.txt) series, not 4"
if MIRLUNE=$mirlune sbatch --wait --quiet --array=0-$(($(wc -l < series.txt) - 1)) --cpus-per-task=1 \
    --mem="$("$slurm" --mem series.txt)" "$slurm" series.txt array data/derivatives/masks > sbatch.log 2>&1; then
  fail "the array succeeded with a corrupt subject"
fi
same_as_direct array || status=1
grep -q "sub-03_pet.nii.gz: not a NIfTI or ANALYZE image" logs/array/sub-03/pet/sub-03.log ||
  fail "sub-03's log does not say why it failed: $(cat logs/array/sub-03/pet/sub-03.log sbatch.log)"
[ "$(ls logs/mirlune-*.log | wc -l)" -eq 4 ] || fail "Slurm's own logs of the four tasks are not in logs/"

# The Snakefile, each job through sbatch.
if snakemake --snakefile "$snakefile" --jobs 4 --keep-going --latency-wait 10 --config input=data "mirlune=$mirlune" \
    threads=1 masks=data/derivatives/masks --cluster "sbatch --quiet --cpus-per-task={threads} --mem={resources.mem_mb} --output=logs/%j.log" \
    > snakemake.log 2>&1; then
  fail "snakemake succeeded with a corrupt subject"
fi
same_as_direct data/derivatives/mirlune || status=1
grep -q "sub-03_pet.nii.gz: not a NIfTI or ANALYZE image" data/derivatives/logs/mirlune/sub-03/pet/sub-03.log ||
  fail "sub-03's log does not say why it failed under --cluster"

[ "$status" -eq 0 ] && echo "slurm: the array and the Snakefile's jobs equal direct runs; the corrupt subject failed alone"
[ "$status" -eq 0 ] || tail -n 20 snakemake.log sbatch.log daemons/*.log
exit "$status"
