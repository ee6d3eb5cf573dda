#!/usr/bin/env bash
# The Snakemake workflow and the Slurm array script on a generated BIDS dataset of four
# subjects: two with masks by the BIDS convention, one with a session, one corrupt. Run
# with --keep-going, the three good subjects' outputs must equal direct runs' byte for
# byte, the corrupt one must be named with its reason, and the Slurm script, driven by
# hand with SLURM_ARRAY_TASK_ID and SLURM_CPUS_PER_TASK, must choose the same masks.
#   tests/workflows/workflow_test.sh MIRLUNE MAKE_SERIES SNAKEFILE SLURM_SCRIPT
set -euo pipefail
mirlune=$(realpath "$1") make_series=$(realpath "$2") snakefile=$(realpath "$3") slurm=$(realpath "$4")
work=$(mktemp -d /tmp/mirlune-workflow-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
status=0
fail() { echo "workflow: $*"; status=1; }

mkdir -p data/sub-01/ses-a/pet data/sub-02/pet data/sub-03/pet data/sub-04/pet
echo '{"Name": "four subjects", "BIDSVersion": "1.9.0"}' > data/dataset_description.json
"$make_series" data/sub-01/ses-a/pet/sub-01_ses-a_pet.nii.gz 20 18 12 10 --seed 11 > /dev/null
"$make_series" data/sub-02/pet/sub-02_pet.nii.gz 20 18 12 10 --seed 12 > /dev/null
echo "not an image" | gzip > data/sub-03/pet/sub-03_pet.nii.gz
"$make_series" data/sub-04/pet/sub-04_trc-FDG_pet.nii.gz 20 18 12 10 --seed 14 > /dev/null
# Masks by the convention: sub-02's built-in mask, for sub-01 and sub-04.
"$mirlune" -i data/sub-02/pet/sub-02_pet.nii.gz -o made -compress > /dev/null
cp made/mask.nii.gz data/sub-01/ses-a/pet/sub-01_ses-a_desc-brain_mask.nii.gz
cp made/mask.nii.gz data/sub-04/pet/sub-04_trc-FDG_desc-brain_mask.nii.gz
good=(data/sub-01/ses-a/pet/sub-01_ses-a_pet.nii.gz data/sub-02/pet/sub-02_pet.nii.gz
      data/sub-04/pet/sub-04_trc-FDG_pet.nii.gz)
masks=(data/sub-01/ses-a/pet/sub-01_ses-a_desc-brain_mask.nii.gz "" data/sub-04/pet/sub-04_trc-FDG_desc-brain_mask.nii.gz)

if snakemake --snakefile "$snakefile" --cores 2 --keep-going --config input=data "mirlune=$mirlune" threads=2 \
    > snakemake.log 2>&1; then
  fail "snakemake succeeded with a corrupt subject"
fi
grep -q "data/derivatives/mirlune/logs/sub-03/pet/sub-03.log" snakemake.log || fail "the failed job's log is not named"
grep -q "sub-03_pet.nii.gz: not a NIfTI or ANALYZE image" data/derivatives/mirlune/logs/sub-03/pet/sub-03.log ||
  fail "sub-03's log does not say why it failed"

# Direct runs, one by one, into another derivative dataset.
for i in 0 1 2; do
  mask=()
  [ -n "${masks[$i]}" ] && mask=(-mask "${masks[$i]}")
  "$mirlune" -i "${good[$i]}" "${mask[@]}" -o direct -bids -compress --threads 1 > /dev/null
done
# The Slurm script, task by task, as a job array would run it.
printf '%s\n' data/sub-01/ses-a/pet/sub-01_ses-a_pet.nii.gz data/sub-02/pet/sub-02_pet.nii.gz \
  data/sub-03/pet/sub-03_pet.nii.gz data/sub-04/pet/sub-04_trc-FDG_pet.nii.gz > series.txt
for task in 0 1 2 3; do
  SLURM_ARRAY_TASK_ID=$task SLURM_CPUS_PER_TASK=2 MIRLUNE=$mirlune "$slurm" series.txt slurm > "task$task.log" 2>&1 ||
    [ "$task" -eq 2 ] || fail "slurm task $task failed: $(cat "task$task.log")"
done

for derived in data/derivatives/mirlune slurm; do
  for file in $(cd direct && find . -name '*.nii.gz' | sort); do
    cmp -s "direct/$file" "$derived/$file" || fail "$derived/$file differs from a direct run's"
    json=${file%.nii.gz}.json
    # The sidecars agree in everything but the command line that made them.
    /usr/bin/python3 - "direct/$json" "$derived/$json" <<'PY' || status=1
import json, sys
a, b = (json.load(open(path)) for path in sys.argv[1:3])
for sidecar in (a, b):
    del sidecar["CommandLine"]
if a != b:
    sys.exit(f"workflow: {sys.argv[2]}: the sidecar differs from a direct run's")
PY
  done
  # The same description, but for where the raw dataset lies from each.
  /usr/bin/python3 - direct/dataset_description.json "$derived/dataset_description.json" <<'PY' || status=1
import json, sys
a, b = (json.load(open(path)) for path in sys.argv[1:3])
for description in (a, b):
    del description["DatasetLinks"]
if a != b:
    sys.exit(f"workflow: {sys.argv[2]} differs from a direct run's")
PY
done
# The same mask, said in each job's log, by the workflow and by the Slurm script.
for log in $(cd data/derivatives/mirlune/logs && find . -name '*.log' | sort); do
  [ "$(head -1 "data/derivatives/mirlune/logs/$log")" = "$(head -1 "slurm/logs/$log")" ] ||
    fail "$log: the workflow and the Slurm script chose different masks"
done
grep -q "mask: data/sub-04/pet/sub-04_trc-FDG_desc-brain_mask.nii.gz" slurm/logs/sub-04/pet/sub-04_trc-FDG.log ||
  fail "sub-04's mask was not used"
grep -q "mask: the built-in rule" slurm/logs/sub-02/pet/sub-02.log || fail "sub-02 did not use the built-in rule"

# Outside an array job: one clear line. The memory it asks for, from the largest series.
if "$slurm" series.txt slurm 2> outside.err; then fail "the Slurm script ran outside an array job"; fi
grep -q "not inside a Slurm array job" outside.err || fail "outside an array job: $(cat outside.err)"
[ "$("$slurm" --mem <(head -2 series.txt))" = "$((3 * 20 * 18 * 12 * 10 * 4 / 1048576 + 256))M" ] ||
  fail "--mem does not follow the formula"

[ "$status" -eq 0 ] && echo "workflow: three subjects equal direct runs, the corrupt one named with its reason"
exit "$status"
