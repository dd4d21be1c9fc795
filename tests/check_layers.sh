#!/bin/bash
# Fails when a source file includes a header of a floor above its own, or
# of the other floor at its level: app -> run -> removal, maintenance -> system.
set -u
src="$1"
floor() {
  case "$1" in
    app) echo 4 ;; run) echo 3 ;; removal | maintenance) echo 2 ;; system) echo 1 ;; *) echo 0 ;;
  esac
}
status=0
checked=0
while IFS=: read -r file line; do
  from=$(basename "$(dirname "$file")")
  to=${line#*\"}
  to=${to%%/*}
  checked=$((checked + 1))
  [ "$from" = "$to" ] && continue
  if [ "$(floor "$to")" -ge "$(floor "$from")" ] || [ "$(floor "$to")" = 0 ]; then
    echo "${file#"$src"/} includes $to/: includes go app -> run -> removal, maintenance -> system"
    status=1
  fi
done < <(grep -rHo '^#include "[^"]*"' "$src" --include='*.h' --include='*.cpp')
if [ "$checked" -lt 50 ]; then
  echo "found only $checked includes under $src"
  status=1
fi
exit $status
