#!/usr/bin/env bash
# Checks that every project include runs down the chain of rooms, never up or sideways:
#
#   containers/values  <-  imaging/base, imaging/run  <-  containers
#                      <-  imaging/formats, imaging/numerics  <-  analysis  <-  program, tools, python
#
# A room may include its own headers and those of the rooms listed for it below.
# launcher/ stands alone. Tests may include anything.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A below=(
  [containers/values]=""
  [imaging/base]="containers/values"
  [imaging/run]=""
  [containers]="containers/values imaging/base imaging/run"
  [imaging/formats]="containers/values imaging/base imaging/run containers"
  [imaging/numerics]="containers/values imaging/base imaging/run containers"
  [analysis]="containers/values imaging/base imaging/run containers imaging/formats imaging/numerics"
  [program]="containers/values imaging/base imaging/run containers imaging/formats imaging/numerics analysis"
  [tools]="containers/values imaging/base imaging/run containers imaging/formats imaging/numerics analysis"
  [python]="containers/values imaging/base imaging/run containers imaging/formats imaging/numerics analysis"
  [launcher]=""
)

# The room of a path: the longest room name it starts with.
roomOf() {
  local best="" room
  for room in "${!below[@]}"; do
    if [[ $1 == "$room"/* && ${#room} -gt ${#best} ]]; then best=$room; fi
  done
  echo "$best"
}

status=0
while IFS= read -r file; do
  room=$(roomOf "$file")
  [ -z "$room" ] && continue
  while IFS= read -r header; do
    target=$(roomOf "$header")
    [ -z "$target" ] && continue  # generated or outside the rooms
    [ "$target" = "$room" ] && continue
    if [[ " ${below[$room]} " != *" $target "* ]]; then
      echo "$file: includes $header, from $target, which is not below $room" >&2
      status=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files '*.cpp' '*.h' '*.inc')
[ $status -eq 0 ] && echo "rooms: every include runs down the chain"
exit $status
