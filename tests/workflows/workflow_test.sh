#!/usr/bin/env bash
# The Snakemake workflow and the Slurm array script on a generated BIDS dataset of four
# subjects: two with masks in a masks dataset, one with a session, one corrupt. Run with
# --keep-going, the three good subjects' outputs must equal direct runs' byte for byte, the
# corrupt one must be named with its reason, the logs must lie outside the derivative
# dataset, and the Slurm script, driven by hand with SLURM_ARRAY_TASK_ID and
# SLURM_CPUS_PER_TASK, must choose the same masks. The Snakefile's derivative dataset is
# copied to KEEP, for the BIDS validator's test.
#   tests/workflows/workflow_test.sh MIRLUNE MAKE_SERIES SNAKEFILE SLURM_SCRIPT [KEEP]
set -euo pipefail
mirlune=$(realpath "$1") make_series=$(realpath "$2") snakefile=$(realpath "$3") slurm=$(realpath "$4")
keep=${5:+$(realpath -m "$5")}
here=$(realpath "$(dirname "$0")")
work=$(mktemp -d /tmp/mirlune-workflow-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
status=0
fail() { echo "workflow: $*"; status=1; }

source "$here/cohort.sh"

if snakemake --snakefile "$snakefile" --cores 2 --keep-going --config input=data "mirlune=$mirlune" threads=2 \
    masks=data/derivatives/masks > snakemake.log 2>&1; then
  fail "snakemake succeeded with a corrupt subject"
fi
logs=data/derivatives/logs/mirlune
grep -q "$logs/sub-03/pet/sub-03.log" snakemake.log || fail "the failed job's log is not named"
grep -q "sub-03_pet.nii.gz: not a NIfTI or ANALYZE image" $logs/sub-03/pet/sub-03.log ||
  fail "sub-03's log does not say why it failed"
[ -z "$(find data/derivatives/mirlune -name '*.log')" ] || fail "logs inside the derivative dataset"
if [ -n "$keep" ]; then
  rm -rf "$keep"
  cp -r data/derivatives/mirlune "$keep"
fi

# The Slurm script, task by task, as a job array would run it.
printf '%s\n' data/sub-01/ses-a/pet/sub-01_ses-a_pet.nii.gz data/sub-02/pet/sub-02_pet.nii.gz \
  data/sub-03/pet/sub-03_pet.nii.gz data/sub-04/pet/sub-04_trc-FDG_pet.nii.gz > series.txt
for task in 0 1 2 3; do
  SLURM_ARRAY_TASK_ID=$task SLURM_CPUS_PER_TASK=2 MIRLUNE=$mirlune "$slurm" series.txt slurm data/derivatives/masks \
    > "task$task.log" 2>&1 ||
    [ "$task" -eq 2 ] || fail "slurm task $task failed: $(cat "task$task.log")"
done

for derived in data/derivatives/mirlune slurm; do
  same_as_direct "$derived" || status=1
done
# The same mask, said in each job's log, by the workflow and by the Slurm script.
for log in $(cd $logs && find . -name '*.log' | sort); do
  [ "$(head -1 "$logs/$log")" = "$(head -1 "logs/slurm/$log")" ] ||
    fail "$log: the workflow and the Slurm script chose different masks"
done
grep -q "mask: data/derivatives/masks/sub-04/pet/sub-04_trc-FDG_desc-brain_mask.nii.gz" \
  logs/slurm/sub-04/pet/sub-04_trc-FDG.log || fail "sub-04's mask was not used"
grep -q "mask: the built-in rule" logs/slurm/sub-02/pet/sub-02.log || fail "sub-02 did not use the built-in rule"

# Denoising passed through: the outputs the Snakefile expects are those the program writes.
if snakemake --snakefile "$snakefile" --cores 2 --keep-going --config input=data "mirlune=$mirlune" threads=2 \
    output=data/derivatives/denoised "options=-denoise -estimator exp1" > denoise.log 2>&1; then
  fail "snakemake succeeded with a corrupt subject"
fi
grep -q "MissingOutputException" denoise.log && fail "-denoise: the Snakefile expects other outputs"
for file in data/derivatives/denoised/sub-02/pet/sub-02_desc-{denoised_pet,noise_map,rank_map}.nii.gz; do
  [ -f "$file" ] || fail "-denoise: $file is missing"
done
SLURM_ARRAY_TASK_ID=1 MIRLUNE=$mirlune "$slurm" series.txt slurm-denoised "" -denoise > denoise-task.log 2>&1 ||
  fail "slurm task with -denoise failed: $(cat denoise-task.log)"
[ -f slurm-denoised/sub-02/pet/sub-02_desc-denoised_pet.nii.gz ] || fail "-denoise not passed by the Slurm script"

# Outside an array job: one clear line. The memory it asks for, from the largest series.
if "$slurm" series.txt slurm 2> outside.err; then fail "the Slurm script ran outside an array job"; fi
grep -q "not inside a Slurm array job" outside.err || fail "outside an array job: $(cat outside.err)"
[ "$("$slurm" --mem series.txt)" = "$((3 * 20 * 18 * 12 * 10 * 4 / 1048576 + 256))M" ] ||
  fail "--mem does not follow the formula, or stumbles on the corrupt series"

[ "$status" -eq 0 ] && echo "workflow: three subjects equal direct runs, the corrupt one named with its reason"
exit "$status"
