# The four-subject BIDS dataset the workflow tests run on, sourced by them: sub-01 with a
# session and a mask, sub-02 with the built-in rule, sub-03 corrupt, sub-04 with a tracer
# entity and a mask; the masks in a derivative dataset of their own (data/derivatives/masks),
# named by the BIDS convention. Needs $mirlune and $make_series; sets good (the three good
# series), masks (theirs, "" for the built-in rule), and makes data/derivatives/direct, a
# derivative dataset of direct runs, one by one, to compare against.
mkdir -p data/sub-01/ses-a/pet data/sub-02/pet data/sub-03/pet data/sub-04/pet \
  data/derivatives/masks/sub-01/ses-a/pet data/derivatives/masks/sub-04/pet
echo '{"Name": "four subjects", "BIDSVersion": "1.9.0"}' > data/dataset_description.json
"$make_series" data/sub-01/ses-a/pet/sub-01_ses-a_pet.nii.gz 20 18 12 10 --seed 11 > /dev/null
"$make_series" data/sub-02/pet/sub-02_pet.nii.gz 20 18 12 10 --seed 12 > /dev/null
echo "not an image" | gzip > data/sub-03/pet/sub-03_pet.nii.gz
"$make_series" data/sub-04/pet/sub-04_trc-FDG_pet.nii.gz 20 18 12 10 --seed 14 > /dev/null
# Masks by the convention: sub-02's built-in mask, for sub-01 and sub-04.
"$mirlune" -i data/sub-02/pet/sub-02_pet.nii.gz -o made -compress > /dev/null
echo '{"Name": "brain masks", "BIDSVersion": "1.9.0", "DatasetType": "derivative",
  "GeneratedBy": [{"Name": "hand"}]}' > data/derivatives/masks/dataset_description.json
cp made/mask.nii.gz data/derivatives/masks/sub-01/ses-a/pet/sub-01_ses-a_desc-brain_mask.nii.gz
cp made/mask.nii.gz data/derivatives/masks/sub-04/pet/sub-04_trc-FDG_desc-brain_mask.nii.gz
good=(data/sub-01/ses-a/pet/sub-01_ses-a_pet.nii.gz data/sub-02/pet/sub-02_pet.nii.gz
      data/sub-04/pet/sub-04_trc-FDG_pet.nii.gz)
masks=(data/derivatives/masks/sub-01/ses-a/pet/sub-01_ses-a_desc-brain_mask.nii.gz ""
       data/derivatives/masks/sub-04/pet/sub-04_trc-FDG_desc-brain_mask.nii.gz)
for i in 0 1 2; do
  mask=()
  [ -n "${masks[$i]}" ] && mask=(-mask "${masks[$i]}")
  "$mirlune" -i "${good[$i]}" "${mask[@]}" -o data/derivatives/direct -bids -compress --threads 1 > /dev/null
done

# same_as_direct DERIVED: every image of the direct runs is in DERIVED byte for byte, and the
# sidecars and descriptions agree but for the command line and where the raw dataset lies.
same_as_direct() {
  local derived=$1 file json ok=0
  local direct=data/derivatives/direct
  for file in $(cd "$direct" && find . -name '*.nii.gz' | sort); do
    cmp -s "$direct/$file" "$derived/$file" || { echo "$derived/$file differs from a direct run's"; ok=1; }
    json=${file%.nii.gz}.json
    /usr/bin/python3 - "$direct/$json" "$derived/$json" <<'PY' || ok=1
import json, sys
a, b = (json.load(open(path)) for path in sys.argv[1:3])
for sidecar in (a, b):
    del sidecar["CommandLine"]
if a != b:
    sys.exit(f"{sys.argv[2]}: the sidecar differs from a direct run's")
PY
  done
  /usr/bin/python3 - "$direct/dataset_description.json" "$derived/dataset_description.json" <<'PY' || ok=1
import json, sys
a, b = (json.load(open(path)) for path in sys.argv[1:3])
for description in (a, b):
    del description["DatasetLinks"]
if a != b:
    sys.exit(f"{sys.argv[2]} differs from a direct run's")
PY
  return $ok
}
