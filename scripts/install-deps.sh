#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those that are missing. Safe to run
# again and again.
#   scripts/install-deps.sh [run|test|lint|fuzz|bench]...   (default: test)
#     run    building and running Mirlune
#     test   run, plus GoogleTest, Python with nibabel and matplotlib, Snakemake, Slurm and
#            munge (a one-node cluster in the workflow tests), and pybind11, Python's
#            headers and pytest for the Python module
#     lint   clang-format and clang-tidy
#     fuzz   clang and libFuzzer
#     bench  the benchmark's peer (dwidenoise, from mrtrix3), GNU time and dipy (its small_64D series)
#     deb    building the Debian package (dpkg-shlibdeps), with the Python module
#     python building the Python module (pybind11, Python's headers, setuptools, pip)
set -euo pipefail

run=(g++ cmake make pkg-config zlib1g-dev libsigc++-2.0-dev libeigen3-dev libnifti2-dev nlohmann-json3-dev)
test=(libgtest-dev libgmock-dev python3 python3-nibabel python3-numpy python3-matplotlib snakemake
      pybind11-dev python3-dev python3-pytest slurm-wlm munge strace)
lint=(clang-format clang-tidy)
fuzz=(clang libfuzzer-14-dev)
bench=(mrtrix3 time python3-nibabel python3-numpy python3-dipy)
deb=(dpkg-dev lintian pybind11-dev python3-dev)
python=(pybind11-dev python3-dev python3-numpy python3-setuptools python3-pip python3-venv)

packages=()
for task in "${@:-test}"; do
  case "$task" in
    run) packages+=("${run[@]}") ;;
    test) packages+=("${run[@]}" "${test[@]}") ;;
    lint) packages+=("${lint[@]}") ;;
    fuzz) packages+=("${run[@]}" "${fuzz[@]}") ;;
    bench | --bench) packages+=("${run[@]}" "${bench[@]}") ;;
    deb) packages+=("${run[@]}" "${deb[@]}") ;;
    python) packages+=("${run[@]}" "${python[@]}") ;;
    *) echo "install-deps: unknown task '$task' (run, test, lint, fuzz, bench, deb or python)" >&2; exit 1 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# bids-validator 1.15, for the BIDS checks of the workflow tests: its packed release from npm,
# which runs without its dependencies. Without npm or a network, the check is skipped.
bids_validator() {
  local folder=${XDG_CACHE_HOME:-$HOME/.cache}/mirlune/bids-validator-1.15.0
  [ -f "$folder/package/bin/bids-validator" ] && return 0
  command -v npm > /dev/null || return 0
  mkdir -p "$folder" && (cd "$folder" && npm pack --silent bids-validator@1.15.0 > /dev/null 2>&1 &&
    tar xzf bids-validator-1.15.0.tgz && rm -f bids-validator-1.15.0.tgz) ||
    echo "install-deps: bids-validator could not be fetched from npm; its test will be skipped" >&2
}

if [ ${#missing[@]} -eq 0 ]; then
  [[ " ${*:-test} " == *" test "* ]] && bids_validator
  exit 0
fi
mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)

apt_line="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo_cmd=()
elif command -v sudo >/dev/null 2>&1; then
  sudo_cmd=(sudo)
else
  echo "missing packages: ${missing[*]}" >&2
  echo "run as root: $apt_line" >&2
  exit 1
fi

echo "installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}"
[[ " ${*:-test} " == *" test "* ]] && bids_validator
exit 0
