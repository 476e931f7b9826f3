#!/usr/bin/env python3
"""Bad input and faults meet the user alike on Linux and on Windows.

Runs the hostsim scripts of tests/scripts/faults/ once with the Linux build
(hostsim, corvanta.so) and once with the Windows build under Wine
(hostsim.exe, corvanta.dll, velmar.exe), each case over the same fault made
real on that platform:

- the add-on's settings store missing, holding values of the wrong type,
  holding values out of range (Linux: the registry emulation's files; Windows:
  the prefix's real registry), and, on Linux, a store that cannot be written;
- the renderer not installed, installed too old, installed but not running
  (`velmar install` / `uninstall` into the machine's installed-program list);
- the COLLADA export to a read-only document, a read-only folder (a
  read-only mount), a folder named as the file, a missing folder and a full
  disk (a small tmpfs), through the export command and its save dialog,
  through the host's save of the 3D window (`save3d`) and through
  `hostsim export MODEL -o OUT.dae`.

From each run it keeps what the user saw, in order: alerts and message boxes
(caption or title, text, buttons, the answer), save dialogs, status-bar
texts, the script's failed lines, the settings the add-on read, and the exit
code; for `hostsim export` its exit code and the lines it printed. The two
platforms' records must be equal once the platform's own parts are written
alike (see normalise()).

Exit status 0 when all agree, 1 when anything differs, 77 (skipped) when
the Windows build or Wine is missing. Environment: CORV_LINUX_BUILD (default
build/default), CORV_WINDOWS_BUILD (default build/windows), CORV_FAULTS_DIR
(output, default a temporary folder removed when everything agreed).
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

from platforms import LINUX, ROOT, SKIP, WINDOWS, windows_missing

SCRIPTS = os.path.join(ROOT, "tests", "scripts", "faults")
WINE_RUN = os.path.join(ROOT, "cmake", "wine-run.sh")
SETTINGS_KEY = "Software\\Torvik\\PluginForArchiCAD"
VELMAR_KEY = "CorvantaFaultsVelmar"
UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
TIMEOUT = 120

# What the user sees, by event kind, and the facts of each that count.
SEEN = {
    "alert.show": ("title", "message", "buttons"),
    "alert.answer": ("buttonText",),
    "msgbox.show": ("caption", "text", "style"),
    "msgbox.answer": ("buttonName",),
    # The file types a real save dialog lists are its own to draw: the
    # host's answering hook on Windows reads only its title and proposal.
    "savedialog.show": ("title", "proposal"),
    "savedialog.overwrite": ("path",),
    "savedialog.answer": ("path", "cancelled", "folder"),
    "statusbar": ("text",),
    # A failed line, or a question the script did not expect.
    "error": ("reason", "question", "answer"),
    # What the settings dialog shows (the values the add-on read).
    "dialog.item": ("res", "item", "what", "value"),
}


class Platform:
    def __init__(self, name, build, top):
        self.name, self.build, self.top = name, build, top
        self.windows = name == "windows"
        exe = ".exe" if self.windows else ""
        self.hostsim = os.path.join(build, "standins", "host", "hostsim", "hostsim" + exe)
        self.velmar = os.path.join(build, "standins", "velmar", "velmar" + exe)
        self.addon = os.path.join(build, "addon", "corvanta.dll" if self.windows else "corvanta.so")
        self.env = dict(os.environ)
        self.env["CORV_RUNTIME_DIR"] = self.theirs(self.folder("run"))
        if self.windows:
            # One prefix for the build's programs and Wine's own (reg,
            # regedit): wine-run.sh would find none for a bare "reg".
            self.env.setdefault("CORV_WINEPREFIX", os.path.join(build, "wineprefix"))
            # Wine checks its heap and says so when a block freed is freed
            # again or a freed one is written: corruption that crashes the
            # host only now and then, later and elsewhere, is told every run.
            self.env["WINEDEBUG"] = "-all,warn+heap"
        if not self.windows:
            self.env["CORV_REGISTRY_HKCU"] = self.folder("hkcu")
            self.env["CORV_REGISTRY_HKLM"] = self.folder("hklm")

    def folder(self, *parts):
        path = os.path.join(self.top, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def theirs(self, path):
        """A path of ours as the programs name it: under Wine, Linux files
        are on drive Z:."""
        return "Z:" + path.replace("/", "\\") if self.windows else path

    def program(self, path, *args):
        return ([WINE_RUN, path] if self.windows else [path]) + list(args)

    def run(self, command, env=None):
        try:
            return subprocess.run(command, env=env or self.env, capture_output=True, text=True, timeout=TIMEOUT)
        except subprocess.TimeoutExpired as hung:
            # A hang is a fault the user meets too: it is recorded, not
            # fatal. Under Wine the program outlives its wine-run.sh: the
            # prefix's server ends it (the prefix is this build's own).
            if self.windows:
                prefix = self.env["CORV_WINEPREFIX"]
                subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix), capture_output=True)
            text = lambda b: b.decode("utf-8", "replace") if isinstance(b, bytes) else (b or "")
            return subprocess.CompletedProcess(command, "hung", text(hung.stdout), text(hung.stderr))

    # The add-on's settings store, left as a case needs it.
    def settings(self, values):
        """values: None (no store), or [(name, kind, data)] with kind
        "dword", "text" or "binary" (hex)."""
        if self.windows:
            self.run(self.program("reg", "delete", "HKCU\\" + SETTINGS_KEY, "/f"))
            if values is None:
                return
            lines = ["Windows Registry Editor Version 5.00", "", "[HKEY_CURRENT_USER\\%s]" % SETTINGS_KEY]
            for name, kind, data in values:
                if kind == "dword":
                    lines.append('"%s"=dword:%08x' % (name, data))
                elif kind == "text":
                    lines.append('"%s"="%s"' % (name, data))
                else:
                    lines.append('"%s"=hex:%s' % (name, ",".join(data[i:i + 2] for i in range(0, len(data), 2))))
            reg = os.path.join(self.folder("setup"), "settings.reg")
            with open(reg, "w", encoding="utf-16", newline="\r\n") as f:
                f.write("\n".join(lines) + "\n")
            done = self.run(self.program("regedit", "/s", self.theirs(reg)))
            if done.returncode != 0:
                raise SystemExit("regedit could not import %s: %s" % (reg, done.stderr))
            return
        key = os.path.join(self.env["CORV_REGISTRY_HKCU"], *SETTINGS_KEY.split("\\"))
        shutil.rmtree(os.path.join(self.env["CORV_REGISTRY_HKCU"], "Software"), ignore_errors=True)
        if values is None:
            return
        os.makedirs(key)
        entries = []
        for name, kind, data in values:
            if kind == "dword":
                entries.append({"name": name, "type": "REG_DWORD", "dword": data})
            elif kind == "text":
                entries.append({"name": name, "type": "REG_SZ", "text": data})
            else:
                entries.append({"name": name, "type": "REG_BINARY", "hex": data})
        with open(os.path.join(key, ".values.json"), "w") as f:
            json.dump({"format": "corvanta registry key 1", "values": entries}, f)

    def settings_file(self):
        return os.path.join(self.env["CORV_REGISTRY_HKCU"], *SETTINGS_KEY.split("\\"), ".values.json")

    # The renderer in the machine's installed-program list.
    def install_velmar(self, version):
        self.uninstall_velmar()
        if version is None:
            return
        done = self.run(self.program(self.velmar, "install", "--key", VELMAR_KEY, "--app-version", version))
        if done.returncode != 0:
            raise SystemExit("velmar install failed on %s: %s%s" % (self.name, done.stdout, done.stderr))

    def uninstall_velmar(self):
        self.run(self.program(self.velmar, "uninstall", "--key", VELMAR_KEY))
        if self.windows:
            # The prefix's registry is the machine's and outlives other
            # programs: any entry the add-on would take for a renderer goes.
            listed = self.run(self.program("reg", "query", UNINSTALL_KEY, "/s"))
            current = None
            for line in listed.stdout.replace("\r", "").splitlines():
                if line.startswith("HKEY_"):
                    current = line.strip()
                elif current and "DisplayName" in line and "Velmar" in line:
                    self.run(self.program("reg", "delete", current, "/f"))

    def stored_settings(self):
        """The add-on's values as the store holds them: {name: [type, data]}."""
        values = {}
        if self.windows:
            reg = os.path.join(self.folder("setup"), "stored.reg")
            if os.path.exists(reg):
                os.remove(reg)
            self.run(self.program("regedit", "/e", self.theirs(reg), "HKEY_CURRENT_USER\\" + SETTINGS_KEY))
            if not os.path.exists(reg):
                return None
            with open(reg, "rb") as f:
                raw = f.read()
            text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
            joined = re.sub(r"\\\r?\n\s*", "", text)
            for line in joined.splitlines():
                m = re.match(r'^"([^"]*)"=(.*)$', line.strip())
                if not m:
                    continue
                name, data = m.groups()
                if data.startswith("dword:"):
                    values[name] = ["dword", int(data[6:], 16)]
                elif data.startswith('"'):
                    values[name] = ["text", data[1:-1]]
                else:
                    kind, _, hexes = data.partition(":")
                    values[name] = [kind, hexes.replace(",", "")]
            return values
        try:
            with open(self.settings_file()) as f:
                stored = json.load(f)
        except (OSError, ValueError):
            return None
        for v in stored.get("values", []):
            if "dword" in v:
                values[v["name"]] = ["dword", v["dword"]]
            elif "text" in v:
                values[v["name"]] = ["text", v["text"]]
            else:
                values[v["name"]] = ["hex", v.get("hex", "")]
        return values

    def script(self, case, name, variables):
        out = self.folder("cases", re.sub(r"[^A-Za-z0-9]+", "-", case).strip("-"))
        log = os.path.join(out, "events.jsonl")
        env = dict(self.env, **{k: self.theirs(v) for k, v in variables.items()})
        done = self.run(self.program(self.hostsim, "--no-launch", "--quiet", "--addon", self.theirs(self.addon),
                                     "--json", self.theirs(log), "run", self.theirs(os.path.join(SCRIPTS, name))),
                        env)
        with open(os.path.join(out, "output.txt"), "w") as f:
            f.write(done.stdout + done.stderr)
        events = []
        if os.path.exists(log):
            with open(log, encoding="utf-8") as f:
                for line in f:
                    line = line.strip()
                    if line:
                        try:
                            events.append(json.loads(line))
                        except ValueError:
                            events.append({"kind": "unreadable log line", "line": line})
        seen = []
        for e in events:
            if e.get("kind") in SEEN:
                facts = [e["kind"]] + [e.get(fact) for fact in SEEN[e["kind"]]]
                if e["kind"] == "msgbox.show" and isinstance(facts[3], int):
                    # The buttons offered, not the icon: a real message box
                    # draws its icon itself and tells no one which, so the
                    # Windows host knows a box's buttons only.
                    facts[3] &= 0xF
                seen.append(facts)
        return {"exit": done.returncode, "seen": seen, "heap": heap_warnings(done)}

    def export(self, case, model, dest, settings=()):
        out = self.folder("cases", re.sub(r"[^A-Za-z0-9]+", "-", case).strip("-"))
        args = ["export", self.theirs(model), "-o", self.theirs(dest), "--module", self.theirs(self.addon)]
        for s in settings:
            args += ["--setting", s]
        done = self.run(self.program(self.hostsim, *args))
        with open(os.path.join(out, "output.txt"), "w") as f:
            f.write(done.stdout + done.stderr)
        lines = []
        for line in (done.stdout + done.stderr).splitlines():
            line = line.rstrip("\r")
            # Times and sizes are the machine's, not the user's fault.
            if re.search(r"still writing|^hostsim export: read \d+ elements|^hostsim export: wrote ", line):
                line = re.sub(r"\d+(\.\d+)? s\b", "<t>", re.sub(r"\(\d+ bytes\)", "(<n> bytes)", line))
                if "still writing" in line:
                    continue
            lines.append(line)
        return {"exit": done.returncode, "seen": lines, "heap": heap_warnings(done)}


# Mounts that make a fault real for every process, root included: a read-only
# folder and a full disk. Without the right to mount, those cases are left
# out and the run says so.
class Mounts:
    def __init__(self):
        self.points = []

    def tmpfs(self, path, options):
        os.makedirs(path, exist_ok=True)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path], capture_output=True, text=True)
        if done.returncode != 0:
            return False
        self.points.append(path)
        return True

    def close(self):
        for path in reversed(self.points):
            subprocess.run(["umount", "-l", path], capture_output=True)


def destinations(top, mounts, model_size_hint):
    """Each export destination: (case name, path of the document, whether
    it exists before). Made afresh under top."""
    made = {}
    base = os.path.join(top, "dest")
    # A writable folder: the control case, which must succeed everywhere.
    os.makedirs(os.path.join(base, "good"), exist_ok=True)
    made["writable"] = os.path.join(base, "good", "house.dae")
    # A read-only document: on Windows the read-only attribute, which Wine
    # keeps as the file's missing write bits.
    folder = os.path.join(base, "readonly-file")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "house.dae")
    with open(path, "w") as f:
        f.write("<COLLADA/>\n")
    os.chmod(path, 0o444)
    made["read-only document"] = path
    # A folder named as the document.
    os.makedirs(os.path.join(base, "folder-as-file", "house.dae"), exist_ok=True)
    made["folder named as the file"] = os.path.join(base, "folder-as-file", "house.dae")
    made["missing folder"] = os.path.join(base, "missing", "house.dae")
    ro = os.path.join(base, "readonly-folder")
    if mounts.tmpfs(ro, "ro,size=64k"):
        made["read-only folder"] = os.path.join(ro, "house.dae")
    full = os.path.join(base, "full")
    # Smaller than the sample's document, larger than its first writes: the
    # disk fills while the export writes.
    if mounts.tmpfs(full, "size=%dk" % max(8, model_size_hint // 2048)):
        made["full disk"] = os.path.join(full, "house.dae")
    return made


def reset_destination(case, path):
    if case == "writable":
        shutil.rmtree(os.path.dirname(path), ignore_errors=True)
        os.makedirs(os.path.dirname(path))
    elif case == "full disk":
        for name in os.listdir(os.path.dirname(path)):
            full = os.path.join(os.path.dirname(path), name)
            shutil.rmtree(full) if os.path.isdir(full) and not os.path.islink(full) else os.remove(full)


def normalise(value, platform):
    """The record with the platform's own parts written alike."""
    if isinstance(value, list):
        return [normalise(v, platform) for v in value]
    if isinstance(value, dict):
        return {k: normalise(v, platform) for k, v in value.items()}
    if not isinstance(value, str):
        return value
    text = value
    # Paths: the same Linux folder, written by Windows programs as Z: with
    # backslashes.
    top = platform.top
    for form in ("Z:" + top.replace("/", "\\"), top):
        text = text.replace(form, "<top>")
    # The build's own files (the module) live in each platform's build tree.
    for form in ("Z:" + platform.build.replace("/", "\\"), platform.build):
        text = text.replace(form, "<build>")
    text = re.sub(r"<(top|build)>[^\s\"':,]*", lambda m: m.group(0).replace("\\", "/"), text)
    text = text.replace("corvanta.dll", "corvanta.<module>").replace("corvanta.so", "corvanta.<module>")
    # The system's own error texts (strerror on Linux, FormatMessageW on
    # Windows) say the same thing in each system's words.
    for words, meaning in SYSTEM_TEXTS:
        text = text.replace(words, meaning)
    return text


SYSTEM_TEXTS = [
    ("No such file or directory", "<not found>"),
    ("The system cannot find the path specified", "<not found>"),
    ("Path not found", "<not found>"),
    ("The system cannot find the file specified", "<not found>"),
    ("Permission denied", "<denied>"),
    ("Access is denied", "<denied>"),
    ("Access denied", "<denied>"),
    # A folder on a read-only file system: Linux says so; Windows has no
    # error of its own for a folder it may not write (Wine turns EROFS into
    # ERROR_ACCESS_DENIED, as Windows reports a folder its access list
    # closes): both say that the system refuses the write.
    ("Read-only file system", "<denied>"),
    ("The media is write protected", "<denied>"),
    ("No space left on device", "<full>"),
    ("There is not enough space on the disk", "<full>"),
    ("Disk full", "<full>"),  # Wine's own text of ERROR_DISK_FULL
]


def cases(linux, windows, mounts):
    """Runs every case on both platforms; yields (case, linux record,
    windows record)."""
    # The stores the settings cases start from.
    stores = {
        "settings: no store": None,
        "settings: values of the wrong type": [
            ("CameraAutoSync", "text", "1"), ("OptimizeSurfaces", "binary", "01000000"),
            ("SmoothSurfaces", "text", "0"), ("ExportNodes", "binary", "0100"),
            ("OffsetType", "text", "2"), ("CustomOffset", "dword", 3)],
        "settings: values out of range": [
            ("CameraAutoSync", "dword", 7), ("OptimizeSurfaces", "dword", 0xFFFFFFFF),
            ("SmoothSurfaces", "dword", 0), ("ExportNodes", "dword", 2),
            ("OffsetType", "dword", 9), ("CustomOffset", "text", "1e40")],
        "settings: a custom offset that is no number": [
            ("OffsetType", "dword", 0), ("CustomOffset", "text", "two metres")],
    }
    for case, store in stores.items():
        records = []
        for p in (linux, windows):
            p.settings(store)
            record = p.script(case, "settings.hs", {})
            # What is kept for the next session: the damaged values as they
            # were, the changed one stored.
            record["stored"] = p.stored_settings()
            records.append(record)
        yield case, records[0], records[1]

    # A store that cannot be written is the emulation's damaged file on
    # Linux; a user cannot damage the real registry's hive from outside.
    linux.settings(None)
    key = os.path.dirname(linux.settings_file())
    os.makedirs(key)
    with open(linux.settings_file(), "w") as f:
        f.write('{"format": "corvanta registry key 1", "values": [ {"name": ')
    record = linux.script("settings: a damaged store (Linux)", "settings_unwritable.hs", {})
    yield "settings: a damaged store (Linux)", record, None
    linux.settings(None)
    windows.settings(None)

    # The renderer: none installed, too old, recent but not running. No
    # velmar runs in any of them.
    for case, version in (("renderer: not installed", None), ("renderer: too old", "8.2.9"),
                          ("renderer: installed, not running", "8.3.0")):
        records = []
        for p in (linux, windows):
            p.install_velmar(version)
            try:
                records.append(p.script(case, "renderer.hs", {"FAULTS_DIR": p.folder("projects", version or "none")}))
            finally:
                p.uninstall_velmar()
        yield case, records[0], records[1]

    # The export: one model per platform, made by each platform's host.
    models = {}
    for p in (linux, windows):
        model = os.path.join(p.folder("model"), "house.pln")
        made = p.script("model", "model.hs", {"FAULTS_MODEL": model})
        if made["exit"] != 0 or not os.path.exists(model):
            raise SystemExit("the %s host could not save the model: %s" % (p.name, made))
        models[p.name] = model
    size_hint = os.path.getsize(models["linux"])
    for p in (linux, windows):
        p.dest = destinations(p.top, mounts, size_hint)
    if "read-only folder" not in linux.dest:
        print("note: no right to mount: the read-only folder and the full disk are left out")
    for dest in linux.dest:
        for how, script in (("export command", "export_menu.hs"), ("save3d", "export_save3d.hs"),
                            ("hostsim export", None)):
            case = "export to a %s: %s" % (dest, how)
            if dest == "read-only document" and script == "export_menu.hs":
                script = "export_menu_replace.hs"
            elif dest == "writable" and script == "export_menu.hs":
                script = "export_menu_ok.hs"
            records = []
            for p in (linux, windows):
                path = p.dest[dest]
                reset_destination(dest, path)
                if script:
                    records.append(p.script(case, script, {"FAULTS_DEST": path}))
                else:
                    records.append(p.export(case, models[p.name], path))
            yield case, records[0], records[1]


def heap_warnings(done):
    """Wine's heap checker's complaints in a run's output."""
    return [line for line in (done.stdout + done.stderr).splitlines() if ":warn:heap:" in line or ":err:heap:" in line]


def kinds(record, kind):
    return [e for e in record["seen"] if isinstance(e, list) and e[0] == kind]


def expectation_problems(case, record):
    """What the user must meet in a case on any platform: equal records
    that are both wrong are no comfort."""
    problems = []
    if record.get("heap"):
        problems.append("%s: the heap was corrupted (%d complaints), first: %s"
                        % (case, len(record["heap"]), record["heap"][0]))
    boxes = kinds(record, "msgbox.show")
    alerts = kinds(record, "alert.show")
    statuses = [e[1] for e in kinds(record, "statusbar")]

    def want(ok, what):
        if not ok:
            problems.append("%s: %s" % (case, what))

    if case.startswith("settings: a damaged"):
        want(record["exit"] == 0, "the script failed (exit %s)" % record["exit"])
        want([b[1] for b in boxes] == ["Velmar Corvanta - Settings not stored"],
             "one \"Settings not stored\" box expected, saw %s" % boxes)
    elif case.startswith("settings:"):
        # A store the add-on cannot use reads as defaults, without a word.
        want(record["exit"] == 0, "the script failed (exit %s)" % record["exit"])
        want(not boxes and not alerts, "no message expected, saw %s %s" % (boxes, alerts))
    elif case.startswith("renderer:"):
        title = ("Velmar Corvanta - Velmar is not running" if "not running" in case
                 else "Velmar Corvanta - Newer Velmar version required")
        want(record["exit"] == 0, "the script failed (exit %s)" % record["exit"])
        want([a[1] for a in alerts] == [title], "the alert \"%s\" expected, saw %s" % (title, alerts))
    elif case.startswith("export to a writable"):
        want(record["exit"] == 0, "the export failed (exit %s)" % record["exit"])
        if not case.endswith("hostsim export"):
            want(statuses[-1:] == ["Velmar Collada exporter: export complete."], "status bar: %s" % statuses)
    elif case.startswith("export to a ") and "read-only document" not in case:
        if case.endswith("hostsim export") and "full disk" in case:
            # Found only while the add-on writes: its handler's error.
            want(record["exit"] == 1, "exit code 1 expected (the add-on could not write), got %s" % record["exit"])
        elif case.endswith("hostsim export"):
            want(record["exit"] == 2, "exit code 2 expected (the destination cannot be written), got %s"
                 % record["exit"])
        elif case.endswith("save3d"):
            want(record["exit"] == 1, "the save3d line must fail (exit 1), got %s" % record["exit"])
            want(any("could not save" in (e[1] or "") for e in kinds(record, "error")),
                 "no \"could not save\" error: %s" % record["seen"])
        if not case.endswith("hostsim export") and not case.endswith("folder named as the file: export command"):
            want(any(s.startswith("Velmar Collada exporter: export failed: ") for s in statuses),
                 "no \"export failed\" status: %s" % statuses)
        if case.endswith("export command") and "folder named as the file" in case:
            # The save dialog opens a folder typed as the name and asks
            # again (the script has no second name: it is cancelled).
            answers = kinds(record, "savedialog.answer")
            want([a[2:] for a in answers] == [[False, True], [True, None]],
                 "the dialog must open the folder and ask again: %s" % answers)
            want(not boxes, "no box expected, saw %s" % boxes)
        elif case.endswith("export command"):
            want([b[1] for b in boxes] == ["Velmar Corvanta - Export failed"],
                 "one \"Export failed\" box expected, saw %s" % boxes)
    return problems


def read_only_document_problems(case, linux, windows):
    problems = []
    if linux["exit"] != (1 if case.endswith("export command") else 0):
        problems.append("%s: Linux replaces a read-only document, yet exit code %s" % (case, linux["exit"]))
    said = json.dumps(windows["seen"])
    refusal = ("it exists and cannot be written" if case.endswith("hostsim export")
               else "the existing file cannot be replaced: <denied>")
    if refusal not in said:
        problems.append("%s: Windows must refuse the read-only document, saying so: %s" % (case, said[:2000]))
    if case.endswith("hostsim export") and windows["exit"] != 2:
        problems.append("%s: exit code 2 expected on Windows, got %s" % (case, windows["exit"]))
    if case.endswith("save3d") and windows["exit"] != 1:
        problems.append("%s: the save3d line must fail on Windows, got %s" % (case, windows["exit"]))
    return problems


def main():
    missing = windows_missing()
    if missing:
        print("skipped: " + missing)
        return SKIP
    chosen = os.environ.get("CORV_FAULTS_DIR")
    top = os.path.abspath(chosen) if chosen else tempfile.mkdtemp(prefix="corv-faults-")
    os.makedirs(top, exist_ok=True)
    linux = Platform("linux", LINUX, os.path.join(top, "linux"))
    windows = Platform("windows", WINDOWS, os.path.join(top, "windows"))
    mounts = Mounts()
    problems, compared, report = [], 0, []
    try:
        for case, mine, theirs in cases(linux, windows, mounts):
            a = normalise(mine, linux)
            b = normalise(theirs, windows) if theirs is not None else None
            report.append({"case": case, "linux": a, "windows": b})
            compared += 1
            problems += expectation_problems(case, a)
            if b is None:
                continue
            problems += ["%s (Windows)" % p for p in expectation_problems(case, b)]
            if "read-only document" in case:
                # The read-only attribute is the platform's own: Windows
                # refuses to replace such a file, on Linux the folder
                # decides. Each platform must do its own, and say so.
                problems += read_only_document_problems(case, a, b)
                continue
            if a["exit"] != b["exit"]:
                problems.append("%s: exit code %s on Linux, %s on Windows" % (case, a["exit"], b["exit"]))
            if a.get("stored") != b.get("stored"):
                problems.append("%s: the store holds %s on Linux, %s on Windows" % (case, a.get("stored"),
                                                                                    b.get("stored")))
            if a["seen"] != b["seen"]:
                problems.append("%s: the user saw on Linux\n    %s\n  and on Windows\n    %s"
                                % (case, "\n    ".join(map(json.dumps, a["seen"])),
                                   "\n    ".join(map(json.dumps, b["seen"]))))
    finally:
        mounts.close()
        with open(os.path.join(top, "report.json"), "w") as f:
            json.dump(report, f, indent=1)
    for problem in problems:
        print("DIFFERS: " + problem)
    if problems:
        print("%d problems in %d cases; the runs are in %s" % (len(problems), compared, top))
        return 1
    print("Linux and Windows agree on %d cases" % compared)
    if not chosen:
        shutil.rmtree(top, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
