#!/usr/bin/env bash
# Checks the Debian package that make deb built with lintian (no error, no warning), then
# installs it, runs the installed Mirlune on a series from the installed make_series and
# mirlune-quicklook on its outputs (and without matplotlib: one line), then removes it.
# It refuses to touch a machine where mirlune is installed already.
#   scripts/check-deb.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
deb=$(realpath "$(ls "$build"/mirlune_*.deb | head -1)")
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
if dpkg-query -W -f='${Status}' mirlune 2>/dev/null | grep -q 'install ok installed'; then
  echo "check-deb: mirlune is installed on this machine already; not replacing it" >&2
  exit 1
fi
echo "check-deb: $deb"
# lintian warns that it runs as root, on standard error; its findings go to standard output.
lintian --fail-on error,warning "$deb" 2> /dev/null
dpkg-deb --info "$deb" | grep -E 'Package|Version|Depends|Recommends'
"${sudo[@]}" dpkg -i "$deb" || "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -f install -y -q
work=$(mktemp -d /tmp/mirlune-deb-XXXXXX)
trap '"${sudo[@]}" dpkg -r mirlune > /dev/null; rm -rf "$work"' EXIT
cd "$work"
/usr/lib/mirlune/make_series series.nii.gz 24 24 12 10 > /dev/null
/usr/bin/Mirlune -i series.nii.gz -o out -sidecars --threads 2
/usr/bin/mirlune-quicklook out
test -s out/quicklook.png
# Without a recommended package: one line naming it, status 1.
if /usr/bin/python3 -c "import sys; sys.modules['matplotlib'] = None; sys.argv = ['mirlune-quicklook', 'out']
exec(compile(open('/usr/bin/mirlune-quicklook').read(), 'mirlune-quicklook', 'exec'))" 2> missing.txt; then
  echo "check-deb: mirlune-quicklook ran without matplotlib" >&2
  exit 1
fi
[ "$(wc -l < missing.txt)" -eq 1 ] && grep -q "install python3-matplotlib" missing.txt
test -f /usr/share/mirlune/workflows/Snakefile -a -x /usr/share/mirlune/workflows/slurm_array.sh
ls /usr/share/man/man1/Mirlune.1.gz /usr/share/man/man1/mirlune-quicklook.1.gz
if dpkg -c "$deb" | grep _mirlune > /dev/null; then
  (cd / && /usr/bin/python3 -c "import mirlune, numpy; print('mirlune', mirlune.__version__, 'analysed',
      mirlune.analyse(numpy.ones((6, 6, 6, 4), numpy.float32)).analysed, 'voxels')")
fi
echo "check-deb: installed, ran and removed"
