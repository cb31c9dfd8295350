#!/bin/sh
# Lists the DLLs a Windows program imports and passes when each is one that Windows itself
# carries, so that the program runs from a folder with nothing installed beside it.
#   imports.sh OBJDUMP PROGRAM
set -eu
objdump=$1 program=$2

dlls=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: *//p' | tr -d '\r')
if [ -z "$dlls" ]; then
  echo "imports.sh: $objdump found no imports in $program" >&2
  exit 1
fi
echo "$(basename "$program") imports:" $dlls

status=0
for dll in $dlls; do
  case $(printf '%s' "$dll" | tr '[:upper:]' '[:lower:]') in
  kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | comdlg32.dll | advapi32.dll | \
    shell32.dll | shlwapi.dll | ole32.dll | oleaut32.dll | uxtheme.dll | version.dll | \
    winmm.dll | imm32.dll | setupapi.dll | ws2_32.dll | bcrypt.dll | ntdll.dll | msvcrt.dll | \
    api-ms-win-*.dll) ;;
  *)
    echo "imports.sh: $(basename "$program") needs $dll, which Windows does not carry" >&2
    status=1
    ;;
  esac
done
exit $status
