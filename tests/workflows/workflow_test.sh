#!/usr/bin/env bash
# The Snakemake workflow on three small generated series in a BIDS-like layout (one with
# its own mask), run locally on two cores; each output must equal a direct run's.
#   tests/workflows/workflow_test.sh MIRLUNE MAKE_SERIES SNAKEFILE
set -euo pipefail
mirlune=$1 make_series=$2 snakefile=$3
work=$(mktemp -d /tmp/mirlune-workflow-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

for subject in 01 02 03; do
  mkdir -p "data/sub-$subject/pet"
  "$make_series" "data/sub-$subject/pet/sub-${subject}_pet.nii.gz" 20 18 12 10 --seed "1$subject" > /dev/null
done
# sub-02 brings its own mask: the built-in one of sub-01.
"$mirlune" -i data/sub-01/pet/sub-01_pet.nii.gz -o first > /dev/null
cp first/mask.nii data/sub-02/pet/sub-02_mask.nii

start=$(date +%s.%N)
snakemake --snakefile "$snakefile" --cores 2 --quiet \
  --config input=data "pattern=sub-{subject}/pet/sub-{subject}_pet.nii.gz" \
  "mask=sub-{subject}/pet/sub-{subject}_mask.nii" "mirlune=$mirlune" threads=2 > snakemake.log 2>&1 ||
  { cat snakemake.log; exit 1; }
echo "workflow: 3 series in $(echo "$(date +%s.%N) - $start" | bc) s"

status=0
for subject in 01 02 03; do
  mask=()
  [ -f "data/sub-$subject/pet/sub-${subject}_mask.nii" ] && mask=(-mask "data/sub-$subject/pet/sub-${subject}_mask.nii")
  "$mirlune" -i "data/sub-$subject/pet/sub-${subject}_pet.nii.gz" "${mask[@]}" -sidecars --threads 1 \
    -o "direct/$subject" > /dev/null
  for name in mask ratFiltre disparite dispersion dispersion2; do
    if ! cmp -s "derivatives/mirlune/$subject/$name.nii" "direct/$subject/$name.nii"; then
      echo "sub-$subject: $name.nii differs from a direct run's"
      status=1
    fi
    # The sidecars agree in everything but the command line that made them.
    /usr/bin/python3 - "derivatives/mirlune/$subject/$name.json" "direct/$subject/$name.json" <<'PY' || status=1
import json, sys
a, b = (json.load(open(path)) for path in sys.argv[1:3])
for sidecar in (a, b):
    del sidecar["GeneratedBy"][0]["CommandLine"]
if a != b:
    sys.exit(f"{sys.argv[1]}: the sidecar differs from a direct run's")
PY
  done
done
grep -q '"File"' derivatives/mirlune/02/mask.json || { echo "sub-02's own mask was not used"; status=1; }
grep -q '"Rule"' derivatives/mirlune/01/mask.json || { echo "sub-01 did not use the built-in rule"; status=1; }
[ "$status" -eq 0 ] && echo "workflow: every output equals a direct run's"
exit "$status"
