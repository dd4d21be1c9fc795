#!/bin/bash
# Fails when the program imports a DLL that Windows does not load from its
# own folder whatever the search order (a known DLL), or a function that
# Windows XP SP3 lacks, or when it is larger than it should be.
set -u
exe="$1"
dump=$(i686-w64-mingw32-objdump -p "$exe") || { echo "cannot read $exe"; exit 1; }
status=0

allowed_dlls='^(kernel32|user32|advapi32|shell32|shlwapi|comdlg32|msvcrt|gdi32|ole32)\.dll$'
while read -r dll; do
  if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed_dlls"; then
    echo "imports a DLL that is not a known DLL: $dll"
    status=1
  fi
done < <(echo "$dump" | awk '/DLL Name:/ {print $3}')

newer_than_xp='^(GetTickCount64|(Initialize|Acquire|Release|TryAcquire)SRWLock.*|.*ConditionVariable.*|InitOnce.*|GetFileInformationByHandleEx|SetFileInformationByHandle|CreateSymbolicLink.*|RegDeleteTree.*|RegGetValue.*|RegDeleteKeyEx.*|RegSetKeyValue.*|SHGetKnownFolderPath|SHCreateItemFromParsingName|.*LocaleName.*|GetLocaleInfoEx|CompareStringEx|LCMapStringEx|GetDateFormatEx|GetTimeFormatEx|GetNumberFormatEx|GetCurrencyFormatEx|FindFirstFileEx.*Transacted.*|.*Transacted.*|GetFinalPathNameByHandle.*|QueryFullProcessImageName.*|CancelIoEx|CreateEventEx.*|CreateMutexEx.*|CreateSemaphoreEx.*|InterlockedCompareExchange64|FlsAlloc|FlsGetValue|FlsSetValue|FlsFree|GetErrorMode|Wow64.*|RegOpenKeyTransacted.*|TaskDialog.*|SetThreadErrorMode|GetThreadErrorMode|InitializeCriticalSectionEx|GetProductInfo|GetSystemTimePreciseAsFileTime|GetCurrentProcessorNumber.*|K32.*|CreateFile2|ChangeWindowMessageFilter.*|SetProcessDPIAware|IsProcessDPIAware|MsiGetComponentPathEx.*|MsiEnumProductsEx.*|MsiQueryProductStateEx.*)$'
while read -r name; do
  if echo "$name" | grep -Eq "$newer_than_xp"; then
    echo "imports a function newer than Windows XP: $name"
    status=1
  fi
done < <(echo "$dump" | awk '/DLL Name:/ {inside=1; next} inside && NF >= 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ {print $3}')

count=$(echo "$dump" | awk '/DLL Name:/ {inside=1; next} inside && NF >= 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/' | wc -l)
if [ "$count" -lt 20 ]; then
  echo "read only $count imported functions from $exe; the import table was not understood"
  status=1
fi
# Lean: the program carries no C++ runtime it does not use.
max_bytes=200000
size=$(stat -c %s "$exe")
if [ "$size" -gt $max_bytes ]; then
  echo "$exe is $size bytes, more than $max_bytes"
  status=1
fi
# The C++ runtime's exception support comes in whole once anything asks for
# it (a thread-safe static, a throwing new); its terminate handler's text
# shows it, whatever the size.
if grep -q "terminate called after throwing" "$exe"; then
  echo "$exe carries the C++ runtime's exception support"
  status=1
fi
[ $status -eq 0 ] && echo "imports of $exe: $count functions, all in Windows XP SP3's known DLLs; $size bytes"
exit $status
