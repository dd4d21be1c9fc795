#!/bin/sh
# Links with the win32 thread model's runtime instead of the posix one: the
# posix runtime brings winpthreads, which imports functions that Windows XP
# lacks (GetTickCount64). The program itself starts no threads.
compiler="$1"
shift
exec "$(echo "$compiler" | sed 's/-posix$/-win32/')" "$@"
