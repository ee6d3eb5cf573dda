#!/bin/bash
# Mirlune over a cohort as a plain Slurm job array, for groups without Snakemake: one
# array task per line of a list of series, into a BIDS derivative dataset (Mirlune -bids).
#
#   find data/sub-* -path '*/pet/*' -name 'sub-*_pet.nii*' | sort > series.txt
#   mkdir -p logs
#   sbatch --array=0-$(( $(wc -l < series.txt) - 1 )) --cpus-per-task=2 \
#          --mem=$(workflows/slurm_array.sh --mem series.txt) \
#          workflows/slurm_array.sh series.txt data/derivatives/mirlune data/derivatives/masks
#
#   workflows/slurm_array.sh LIST OUTPUT [MASKS [OPTIONS...]]
#   workflows/slurm_array.sh --mem LIST
#
# Masks: MASKS is a BIDS derivative dataset of masks (give "" for none): a series'
# mask lies in the same sub-<label>[/ses-<label>]/<datatype> folder of it as the series does
# of its own dataset, named ENTITIES_desc-brain_mask.nii.gz (ENTITIES: the series' name
# less its desc, suffix and ending, as fMRIPrep names its brain masks); without one, the
# built-in rule. OPTIONS go to Mirlune (e.g. -demean -window auto; -denoise -estimator exp2
# adds the denoised series and the noise and rank maps).
# Threads: SLURM_CPUS_PER_TASK (1 when unset); ask for no more than a node has (sinfo -o "%n %c").
# The program: MIRLUNE (default: Mirlune, from PATH).
# Memory: --mem prints 3 x the largest series of LIST as 32-bit floats + 256 MB, in MB.
# Logs: Slurm's own (--output, here logs/mirlune-<job>_<task>.log in the submission
# folder; the folder must exist) says which series and mask a task took; Mirlune's lines,
# and a failed series' reason, go to LOGS/<subject folder>/<series name>.log, LOGS being
# OUTPUT's folder/logs/OUTPUT's name (MIRLUNE_LOGS to choose), outside the dataset.
#SBATCH --job-name=mirlune
#SBATCH --cpus-per-task=2
#SBATCH --time=01:00:00
#SBATCH --output=logs/mirlune-%A_%a.log
set -euo pipefail

# The series' bytes as 32-bit floats, from its header's extents (NIfTI-1 or -2); 0 for a
# series that cannot be read, which fails in Mirlune with its reason in its own log.
series_bytes() {
  /usr/bin/python3 - "$1" <<'PY'
import gzip, struct, sys, zlib
path = sys.argv[1]
try:
    with (gzip.open if path.endswith(".gz") else open)(path, "rb") as f:
        header = f.read(540)
    size = struct.unpack("<i", header[:4])[0]
    order = "<" if size in (348, 540) else ">"
    wide = struct.unpack(order + "i", header[:4])[0] == 540
    dims = struct.unpack(order + ("8q" if wide else "8h"), header[16:80] if wide else header[40:56])
    total = 4
    for extent in dims[1 : 1 + max(1, min(dims[0], 7))]:
        total *= max(extent, 1)
except (OSError, EOFError, struct.error, zlib.error):
    total = 0
print(total)
PY
}

if [ "${1:-}" = "--mem" ]; then
  largest=0
  while IFS= read -r series; do
    [ -n "$series" ] || continue
    bytes=$(series_bytes "$series")
    [ "$bytes" -gt "$largest" ] && largest=$bytes
  done < "${2:?usage: slurm_array.sh --mem LIST}"
  echo "$(( 3 * largest / 1048576 + 256 ))M"
  exit 0
fi

if [ -z "${SLURM_ARRAY_TASK_ID:-}" ]; then
  echo "slurm_array.sh: not inside a Slurm array job (SLURM_ARRAY_TASK_ID is unset); submit it with sbatch --array=0-N" >&2
  exit 1
fi
list=${1:?usage: slurm_array.sh LIST OUTPUT [MASKS [OPTIONS...]]}
output=${2:?usage: slurm_array.sh LIST OUTPUT [MASKS [OPTIONS...]]}
masks=${3:-}
shift $(( $# < 3 ? $# : 3 ))
series=$(sed -n "$((SLURM_ARRAY_TASK_ID + 1))p" "$list")
if [ -z "$series" ]; then
  echo "slurm_array.sh: $list has no line $((SLURM_ARRAY_TASK_ID + 1)) for task $SLURM_ARRAY_TASK_ID" >&2
  exit 1
fi

# The series' name less its ending and suffix, and its entities without desc.
name=$(basename "$series")
name=${name%.gz}
name=${name%.nii}
stem=${name%_*}
entities=$(echo "$stem" | tr '_' '\n' | grep -v '^desc-' | paste -sd_)
# Its folder inside its dataset: sub-<label>[/ses-<label>]/<datatype>.
inside=$(echo "/$(dirname "$series")" | sed -n 's#.*/\(sub-[^/]*\(/ses-[^/]*\)\{0,1\}/[^/]*\)$#\1#p')
options=()
said="mask: the built-in rule"
if [ -n "$masks" ]; then
  for mask in "$masks/$inside/${entities}_desc-brain_mask.nii.gz" "$masks/$inside/${entities}_desc-brain_mask.nii"; do
    if [ -f "$mask" ]; then
      options=(-mask "$mask")
      said="mask: $mask"
      break
    fi
  done
fi
logs=${MIRLUNE_LOGS:-$(dirname "$output")/logs/$(basename "$output")}
log="$logs/${inside:-$(basename "$(dirname "$series")")}/$stem.log"
mkdir -p "$(dirname "$log")"
echo "task $SLURM_ARRAY_TASK_ID: $series; $said; log: $log"
echo "$said" > "$log"
exec "${MIRLUNE:-Mirlune}" -i "$series" "${options[@]}" -o "$output" -bids -compress "$@" \
  --threads "${SLURM_CPUS_PER_TASK:-1}" >> "$log" 2>&1
