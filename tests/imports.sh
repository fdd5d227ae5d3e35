#!/bin/sh
# Checks that the Windows build is a 32-bit x86 console program that needs no
# DLL beyond those that every Windows has.
exe=$1
kind=$(file -b "$exe")
case $kind in
'PE32 executable (console) Intel 80386'*) ;;
*) echo "not a PE32 console program for Intel 80386: $kind"; exit 1 ;;
esac
dlls=$(objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$dlls" ] || { echo "objdump lists no DLL"; exit 1; }
for dll in $dlls; do
    case $(printf '%s' "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll | msvcrt.dll) ;;
    *) echo "needs $dll, which Windows does not ship"; exit 1 ;;
    esac
done
echo "$kind; imports:" $dlls
