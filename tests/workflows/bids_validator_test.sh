#!/usr/bin/env bash
# bids-validator 1.15 on the derivative dataset the Snakefile made from the four-subject
# cohort (kept by the workflow test): no error. Installs nothing: where the validator
# (scripts/install-deps.sh test fetches it from npm) or node is missing, it says so and exits
# 77 (skipped).
#   tests/workflows/bids_validator_test.sh DATASET
set -euo pipefail
dataset=${1:?usage: bids_validator_test.sh DATASET}
validator=${MIRLUNE_BIDS_VALIDATOR:-${XDG_CACHE_HOME:-$HOME/.cache}/mirlune/bids-validator-1.15.0/package/bin/bids-validator}
command -v node > /dev/null || { echo "bids-validator: skipped: node is not installed"; exit 77; }
[ -f "$validator" ] || { echo "bids-validator: skipped: $validator is missing (scripts/install-deps.sh test fetches it from npm)"; exit 77; }
[ -d "$dataset" ] || { echo "bids-validator: $dataset is missing: the workflow test did not make it"; exit 1; }
echo "bids-validator $(node "$validator" --version) on $dataset"
node "$validator" --json "$dataset" 2> /dev/null | /usr/bin/python3 -c '
import json, sys
issues = json.load(sys.stdin)["issues"]
for level in ("errors", "warnings"):
    for issue in issues[level]:
        files = [(f.get("file") or {}).get("relativePath") for f in issue["files"]][:3]
        print("%s: %s (%d files, e.g. %s)" % (level[:-1], issue["key"], len(issue["files"]), files))
sys.exit(1 if issues["errors"] else 0)
'
