#!/bin/sh
# Links with the win32 thread model's runtime instead of the posix one: the
# posix runtime brings winpthreads, which imports functions that Windows XP
# lacks (GetTickCount64). The program itself starts no threads.
#   link-win32.sh [--source-date FILE] COMPILER ARGS...
# With --source-date, the header's time is the one in FILE instead of the
# clock's (ld reads SOURCE_DATE_EPOCH).
if [ "$1" = --source-date ]; then
  SOURCE_DATE_EPOCH="$(cat "$2")" || exit 1
  export SOURCE_DATE_EPOCH
  shift 2
fi
compiler="$1"
shift
exec "$(echo "$compiler" | sed 's/-posix$/-win32/')" "$@"
