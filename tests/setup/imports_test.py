#!/usr/bin/env python3
"""Every DLL that the Windows programs import by name must be one of the system's KnownDLLs,
which the loader takes from the system folder only. Any other is looked for beside the program
first, where a planted copy would run inside it (WinHTTP is therefore loaded from the system
folder at run time, not imported).

  imports_test.py OBJDUMP PROGRAM.exe...
"""
import subprocess, sys

# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs on Windows 10 and 11, the
# names a program of ours might import (the list has more).
KNOWN_DLLS = {"advapi32.dll", "combase.dll", "comdlg32.dll", "gdi32.dll", "gdiplus.dll",
              "imm32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll",
              "rpcrt4.dll", "sechost.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
              "user32.dll", "ws2_32.dll"}


def imports(objdump, program):
    out = subprocess.run([objdump, "-p", program], check=True, capture_output=True, text=True).stdout
    return [line.split("DLL Name:", 1)[1].strip() for line in out.splitlines() if "DLL Name:" in line]


def main():
    objdump, programs = sys.argv[1], sys.argv[2:]
    failed = False
    for program in programs:
        names = imports(objdump, program)
        if not names:
            print("FAIL %s: no import table read" % program)
            failed = True
        for name in names:
            if name.lower() not in KNOWN_DLLS:
                print("FAIL %s imports %s, which is not a KnownDLL" % (program, name))
                failed = True
        print("%s: %s" % (program, ", ".join(names)))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
