#!/bin/bash
# Mirlune over a cohort as a plain Slurm job array, for groups without Snakemake: one
# array task per line of a list of series.
#
#   ls data/sub-*/pet/sub-*_pet.nii.gz > series.txt
#   sbatch --array=0-$(( $(wc -l < series.txt) - 1 )) workflows/slurm_array.sh series.txt derivatives/mirlune
#
# A series SERIES.nii[.gz] with a file SERIES_mask.nii[.gz] beside it is analysed within
# that mask. Each task writes into OUTPUT/<series name>/; the worker count follows the
# CPUs Slurm gives the task.
#SBATCH --job-name=mirlune
#SBATCH --cpus-per-task=4
#SBATCH --mem=8G
#SBATCH --time=01:00:00
#SBATCH --output=mirlune-%A_%a.log
set -euo pipefail
list=$1 output=$2
series=$(sed -n "$((SLURM_ARRAY_TASK_ID + 1))p" "$list")
name=$(basename "$series")
name=${name%.gz}
name=${name%.nii}
options=()
for mask in "${series%.nii*}_mask.nii.gz" "${series%.nii*}_mask.nii"; do
  if [ -f "$mask" ]; then
    options=(-mask "$mask")
    break
  fi
done
exec Mirlune -i "$series" "${options[@]}" -sidecars -o "$output/$name"
