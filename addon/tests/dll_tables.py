#!/usr/bin/env python3
"""What a user's host sees of corvanta.dll before it calls anything: the
export table and the import table.

- Exports: the loader's two entry points and nothing else (the resources
  travel as an RCDATA resource, CORVRESOURCES, which must be there).
- Imports: the system's DLLs for the Win32 calls the add-on makes (each
  call from the DLL that documents it), the C runtime, and the host's own
  DLLs (corv_hostsdk, corv_hostui, as a real host's import libraries); no
  compiler runtime DLL, which a user's machine would not have.

usage: dll_tables.py OBJDUMP corvanta.dll
"""
import re
import subprocess
import sys

EXPORTS = {"GetExportedFuncAddrs", "SetImportedFuncAddrs"}
# Where each Win32 call the add-on makes must come from.
CALLS = {
    "KERNEL32.dll": {"CreateFileMappingW", "OpenFileMappingW", "MapViewOfFile", "UnmapViewOfFile", "CloseHandle",
                     "MoveFileExW", "GetModuleHandleExW"},
    "USER32.dll": {"MessageBoxW", "SendMessageW", "FindWindowExW", "SetWindowTextW", "PostMessageW",
                   "SetWindowsHookExW", "CallNextHookEx", "UnhookWindowsHookEx", "DestroyIcon", "IsWindow"},
    "ADVAPI32.dll": {"RegOpenKeyExW", "RegQueryValueExW", "RegSetValueExW", "RegCloseKey"},
    "COMDLG32.dll": {"GetSaveFileNameW"},
    "SHELL32.dll": {"ShellExecuteW"},
}
ALLOWED = {name.lower() for name in CALLS} | {"msvcrt.dll", "corv_hostsdk.dll", "corv_hostui.dll"}


def tables(objdump, dll):
    text = subprocess.run([objdump, "-p", dll], capture_output=True, text=True, check=True).stdout
    imports, current = {}, None
    for line in text.splitlines():
        match = re.match(r"\s*DLL Name: (\S+)", line)
        if match:
            current = match.group(1)
            imports.setdefault(current, set())
            continue
        if current and re.match(r"\s*$", line):
            continue
        match = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if current and match:
            imports[current].add(match.group(1))
        elif current and not line.startswith("\t") and not line.startswith(" "):
            current = None
    exports = set()
    names = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(names) == 2:
        for line in names[1].splitlines()[1:]:
            match = re.match(r"\s+\[\s*\d+\]\s+(\S+)$", line)
            if not match:
                break
            exports.add(match.group(1))
    return exports, imports


def main():
    objdump, dll = sys.argv[1], sys.argv[2]
    exports, imports = tables(objdump, dll)
    problems = []
    if exports != EXPORTS:
        problems.append("exports %s, expected exactly %s" % (sorted(exports), sorted(EXPORTS)))
    for name in imports:
        if name.lower() not in ALLOWED:
            problems.append("imports %s (%s...), which a user's machine does not have or the add-on must not use"
                            % (name, sorted(imports[name])[:3]))
    found_case = {name.lower(): name for name in imports}
    for library, calls in CALLS.items():
        got = imports.get(found_case.get(library.lower(), ""), set())
        for call in sorted(calls):
            elsewhere = [n for n, c in imports.items() if call in c and n.lower() != library.lower()]
            if elsewhere:
                problems.append("%s comes from %s, not %s" % (call, elsewhere[0], library))
            elif call not in got:
                problems.append("%s is not imported from %s" % (call, library))
    resources = subprocess.run([objdump, "-s", "-j", ".rsrc", dll], capture_output=True, text=True).stdout
    if "Contents of section .rsrc" not in resources:
        problems.append("no resource section: the add-on's resources are missing")
    for problem in problems:
        print("corvanta.dll: " + problem)
    if not problems:
        print("corvanta.dll exports %s; imports from %s" % (", ".join(sorted(exports)),
                                                              ", ".join(sorted(imports))))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
