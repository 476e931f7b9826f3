#!/usr/bin/env python3
"""The main job's live-link session, end to end between real processes.

Starts velmar (pictures after every update, glTF at the end; with Chromium
installed it also serves the live view, and screenshots of the page are
taken after the start and after the box), starts hostsim
with the add-on, opens the host's sample building, starts the link, makes a
few edits and moves the camera, exports COLLADA and stops; then prints what
was sent and how long it took, and leaves pictures, glTF, COLLADA and the
session logs in one folder. It keeps its registry and windows to itself and
leaves no process and no shared memory behind.

Each step waits for the update whose content shows its change (velmar's
update events name the surfaces and camera they read, with a digest of each
surface's triangles): the box's triangles in its material's surface, the
new colour in that surface's record, the camera record at the new eye.
Updates of something else (the status record, a late pass) are passed over
and counted. The time reported is from the edit to the wake-up, or velmar's
own poll, that read it; the picture drawn of that update is the step's,
copied to step-N-NAME.png. A step whose change does not arrive within its
wait, whose picture is missing or the same as the one before, fails the
job (exit code 1).

Before the link stops, velmar writes what it holds as its canonical form
(canonical.txt), the same bytes on every platform for the same scene.

Environment: CORV_BUILD_DIR (default build/default), CORV_MAIN_DIR (the
output folder, default <build>/main-job), CORV_MAIN_PLATFORM ("linux", or
"windows": hostsim.exe, corvanta.dll and velmar.exe of the windows build,
default build/windows, under Wine through cmake/wine-run.sh; the live view
is Linux-only).
"""
import json
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

# standins/velmar/scripts/main_job.py -> the project folder
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
WINDOWS = os.environ.get("CORV_MAIN_PLATFORM", "linux") == "windows"
BUILD = os.path.join(ROOT, os.environ.get("CORV_BUILD_DIR", "build/windows" if WINDOWS else "build/default"))
OUT = os.path.abspath(os.environ.get("CORV_MAIN_DIR", os.path.join(BUILD, "main-job")))
EXE = ".exe" if WINDOWS else ""
VELMAR = os.path.join(BUILD, "standins", "velmar", "velmar" + EXE)
# Holds velmar's live view open in headless Chromium for its screenshots.
LIVE_SHOT = os.path.join(BUILD, "standins", "velmar", "velmar_live_shot")
CHROMIUM = os.environ.get("CHROMIUM") or "/usr/bin/chromium"
HOSTSIM = os.path.join(BUILD, "standins", "host", "hostsim", "hostsim" + EXE)
ADDON = os.path.join(BUILD, "addon", "corvanta.dll" if WINDOWS else "corvanta.so")
WINE_RUN = os.path.join(ROOT, "cmake", "wine-run.sh")


# The build's own Wine prefix for every program, the system's (reg) too:
# wine-run.sh would otherwise look for it from the current folder.
if WINDOWS:
    os.environ.setdefault("CORV_WINEPREFIX", os.path.join(BUILD, "wineprefix"))


def program(path):
    """The command that runs one of the build's programs on this machine."""
    return [WINE_RUN, path] if WINDOWS else [path]


def theirs(path):
    """A path of ours as the programs name it: under Wine, Linux files are
    on drive Z:."""
    return "Z:" + path.replace("/", "\\") if WINDOWS else path


def ours(path):
    """A path a program named, as a path of ours."""
    if WINDOWS and len(path) > 2 and path[1] == ":":
        return path[2:].replace("\\", "/")
    return path
WAIT = 30.0  # seconds for any one step


class Failure(Exception):
    pass


def now_ms():
    return time.time() * 1000.0


class Velmar:
    """velmar run as a child, its JSON events collected by a thread."""

    def __init__(self, env, serve):
        self.log = open(os.path.join(OUT, "velmar.jsonl"), "w")
        # "serve" follows the link as "run" does, and serves the live view.
        command = ["serve", "--port", "0"] if serve else ["run"]
        self.process = subprocess.Popen(
            program(VELMAR) + ["--json", "--app-version", "8.4.0"] + command + ["--snapshots", theirs(OUT),
             "--gltf", theirs(os.path.join(OUT, "model.glb")), "--size", "960x720", "--exit-when-ended"],
            stdout=subprocess.PIPE, stderr=open(os.path.join(OUT, "velmar.stderr"), "w"),
            env=env, text=True)
        self.env = env
        self.events = queue.Queue()
        self.seen = []
        self.held = Held()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.log.write(line)
            self.log.flush()
            try:
                self.events.put(json.loads(line))
            except ValueError:
                pass
        self.events.put(None)

    def next(self, deadline, what):
        """The next event, taken before deadline (time.time()); what names
        what is awaited in the failure."""
        while True:
            left = deadline - time.time()
            if left <= 0:
                raise Failure("velmar did not report %s within %.0f s" % (what, WAIT))
            try:
                event = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if event is None:
                raise Failure("velmar ended before reporting %s" % what)
            self.seen.append(event)
            return event

    def wait(self, kind, timeout=WAIT, where=lambda e: True):
        """The next event of that kind (and condition); earlier ones are kept in seen."""
        deadline = time.time() + timeout
        while True:
            event = self.next(deadline, "'%s'" % kind)
            self.held.apply(event)
            if event.get("event") == kind and where(event):
                return event

    def wait_update(self, what, shows, timeout=WAIT):
        """The first update for which shows(update, held) returns something
        true, judged against what velmar held before it; that result, the
        update, and the updates passed over on the way."""
        deadline = time.time() + timeout
        passed = []
        while True:
            try:
                event = self.next(deadline, what)
            except Failure as failure:
                raise Failure("%s; %s" % (failure, "updates that came instead: " + "; ".join(map(describe, passed))
                                           if passed else "no other update came either"))
            found = shows(event, self.held) if event.get("event") == "update" else None
            self.held.apply(event)
            if found:
                return found, event, passed
            if event.get("event") == "update":
                passed.append(event)

    def url(self):
        serving = next((e for e in self.seen if e.get("event") == "serving"), None)
        return serving["url"] if serving else None

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Host:
    """hostsim at its prompt, fed one command at a time; each command is
    followed by an echo so that we know when it has run."""

    def __init__(self, env):
        self.output = open(os.path.join(OUT, "hostsim.log"), "w")
        self.process = subprocess.Popen(
            program(HOSTSIM) + ["--no-launch", "--echo", "--addon", theirs(ADDON), "--json",
             theirs(os.path.join(OUT, "session.jsonl"))],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=env, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.count = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.output.write(line)
            self.output.flush()
            self.lines.put(line)
        self.lines.put(None)

    def run(self, command, timeout=WAIT):
        """Runs a command; returns (time sent in ms, its output lines)."""
        self.count += 1
        marker = "main-job step %d done" % self.count
        sent = now_ms()
        self.process.stdin.write(command + "\n")
        self.process.stdin.write("echo \"%s\"\n" % marker)
        self.process.stdin.flush()
        deadline = time.time() + timeout
        lines = []
        while True:
            left = deadline - time.time()
            if left <= 0:
                raise Failure("hostsim did not finish '%s'" % command)
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise Failure("hostsim ended during '%s'" % command)
            words = line.split()
            if words and words[0] == "echo" and line.rstrip().endswith(marker):
                return sent, lines
            lines.append(line)

    def quit(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.flush()
                self.process.wait(15)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()


def shared_memory(pids=()):
    """Shared memory objects of this session: the link (named after the
    project in the output folder) and the blocks of our processes. Other
    programs' objects on the machine are not ours to judge."""
    marks = [OUT.replace("/", "%2F")] + ["CorvantaAPI%%2F%d%%2F" % pid for pid in pids]
    try:
        names = os.listdir("/dev/shm")
    except OSError:
        return set()
    return {name for name in names if any(mark in name for mark in marks)}


class Held:
    """What velmar holds, as its update events say by content: the surfaces
    by record id (name, colour, triangles, bounds, digest of the triangles)
    and the camera record."""

    def __init__(self):
        self.surfaces = {}
        self.camera = None

    def apply(self, event):
        kind = event.get("event")
        if kind in ("ended", "link-ended"):
            self.surfaces, self.camera = {}, None
        if kind != "update":
            return
        changed = event.get("changed")
        if changed is None:
            raise Failure("velmar's updates do not say what they brought ('changed'); is velmar up to date?")
        for gone in changed.get("removed", []):
            self.surfaces.pop(gone, None)
        for surface in changed.get("surfaces", []):
            self.surfaces[surface["id"]] = surface
        if "camera" in changed:
            self.camera = changed["camera"]


# Metres: the link carries 32-bit floats, and hostsim shows the camera to
# the millimetre (so an eye, and an offset taken from it, may be off by half
# a millimetre each).
TOLERANCE = 2e-3


def to_link(point, offset):
    """A host point (x, y, z up) in the link's frame: (x, z + offset, y)."""
    return [point[0], point[2] + offset, point[1]]


def near(a, b, tolerance=TOLERANCE):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def box_arrived(low, high):
    """Shows the box (corners in the link's frame): a surface whose triangles
    grew by a box's twelve or more, whose triangles are other ones than
    before (digest), and whose bounds hold the box."""
    def shows(update, held):
        for surface in update["changed"]["surfaces"]:
            before = held.surfaces.get(surface["id"])
            old = before["triangles"] if before else 0
            bounds = surface.get("bounds")
            if (surface["triangles"] - old >= 12 and bounds
                    and (before is None or before["geometryDigest"] != surface["geometryDigest"])
                    and all(bounds["min"][i] <= low[i] + TOLERANCE and bounds["max"][i] >= high[i] - TOLERANCE
                            for i in range(3))):
                return {"surface": surface["name"], "record": surface["id"], "triangles before": old,
                        "triangles": surface["triangles"], "geometryDigest": surface["geometryDigest"]}
        return None
    return shows


def colour_arrived(record, rgb):
    """Shows the colour (0..1 each) in that surface's record, opaque, each
    channel within one step of 255 times the value."""
    want = [c * 255 for c in rgb]

    def shows(update, held):
        for surface in update["changed"]["surfaces"]:
            if surface["id"] != record:
                continue
            argb = int(surface["colour"], 16)
            got = [(argb >> 16) & 255, (argb >> 8) & 255, argb & 255]
            if argb >> 24 == 255 and all(abs(g - w) <= 1 for g, w in zip(got, want)):
                return {"surface": surface["name"], "record": record, "colour": surface["colour"],
                        "geometryDigest": surface["geometryDigest"]}
        return None
    return shows


def camera_arrived(position):
    """Shows a followed camera record with the eye at that position."""
    def shows(update, held):
        camera = update["changed"].get("camera")
        if camera and camera["followed"] and near(camera["position"], position):
            return {"camera position": [round(x, 4) for x in camera["position"]]}
        return None
    return shows


def host_camera(host):
    """The host camera's eye (x, y, z up), from 'show camera'."""
    _, lines = host.run("show camera")
    for line in lines:
        match = re.search(r"eye \(([-\d.]+), ([-\d.]+), ([-\d.]+)\)", line)
        if match:
            return [float(v) for v in match.groups()]
    raise Failure("hostsim's 'show camera' named no eye: %r" % lines)


class LiveShots:
    """The live view in headless Chromium (velmar_live_shot): screenshots of
    the page once it has shown a given update of velmar's."""

    def __init__(self, url):
        self.process = subprocess.Popen([LIVE_SHOT, url, "960", "720"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        answer = self.process.stdout.readline().strip()
        if answer != "ready":
            raise Failure("the live view did not open in Chromium: %s" % (answer or "no answer"))

    def ask(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def shoot(self, update, name):
        """The page after it showed velmar's update number `update`."""
        if self.ask("wait %d %d" % (update, WAIT * 1000)) != "shown %d" % update:
            raise Failure("the live view did not show update %d within %.0f s" % (update, WAIT))
        path = os.path.join(OUT, "live-%s.png" % name)
        if self.ask("shot %s" % path) != "shot %s" % path:
            raise Failure("no screenshot of the live view (%s)" % name)
        return path

    def close(self):
        if self.process.poll() is None:
            try:
                self.ask("quit")
                self.process.wait(15)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()


def session(velmar, host, report, shots=None):
    project = os.path.join(project_dir(), "house.pln")
    host.run("sample")
    host.run("saveas %s" % theirs(project))
    host.run("window 3d")
    host.run("projection perspective")
    eye = host_camera(host)

    started, _ = host.run("menu 32101")  # Start Corvanta
    update = velmar.wait("update")
    first = velmar.wait("picture")
    report["start to first picture ms"] = first["at"] - started
    report["first picture"] = first["path"]
    report["sent"] = update["scene"]
    report["live view"] = {}
    if shots:
        report["live view"]["after the start"] = shots.shoot(update["live"], "start")

    # The add-on lifts the model by the vertical offset of its settings (0
    # unless set); the followed camera shows which one it took.
    offset, offset_from = 0.0, "the default setting"
    if velmar.held.camera and velmar.held.camera["followed"]:
        offset = velmar.held.camera["position"][1] - eye[2]
        offset_from = "the camera record"
    report["vertical offset"] = {"metres": round(offset, 4), "from": offset_from}

    previous = {"picture": first["path"]}

    def step(number, name, command, shows, followed=False):
        sent, _ = host.run(command)
        # The update whose content shows this edit. Others may come first:
        # the status record, a camera, an earlier edit's late pass.
        found, update, passed = velmar.wait_update("the update of step '%s' (%s)" % (name, command), shows)
        # A wake-up's update follows its "wake" event at once; a poll's read
        # began at readAt.
        wake = next((e for e in reversed(velmar.seen[:-1]) if e.get("event") in ("wake", "update")), None)
        if update["cause"] == "wake" and wake and wake["event"] == "wake":
            read_at, read_by = wake["at"], "wake-up"
        else:
            read_at, read_by = update["readAt"], update["cause"]
        # velmar draws each update's picture right after announcing it.
        picture = velmar.next(time.time() + WAIT, "the picture of step '%s'" % name)
        if picture.get("event") != "picture":
            raise Failure("velmar drew no picture of the update of step '%s' (next came %s)"
                          % (name, picture.get("event")))
        if followed and picture["camera"] != "followed":
            raise Failure("the picture of step '%s' is not from the followed camera" % name)
        with open(ours(picture["path"]), "rb") as now, open(ours(previous["picture"]), "rb") as before:
            if now.read() == before.read():
                raise Failure("the picture of step '%s' (%s) is the same as the one before it (%s)"
                              % (name, os.path.basename(picture["path"]), os.path.basename(previous["picture"])))
        own = os.path.join(OUT, "step-%d-%s.png" % (number, name.replace(" ", "-")))
        shutil.copyfile(ours(picture["path"]), own)
        previous["picture"] = picture["path"]
        if shots and number == 1:
            report["live view"]["after the box"] = shots.shoot(update["live"], "box")
        report["steps"].append({"step": name, "command": command, "shows": found,
                                "read by": read_by,
                                "edit to wake-up ms": round(read_at - sent, 1),
                                "edit to update ms": round(update["at"] - sent, 1),
                                "edit to picture ms": round(picture["at"] - sent, 1),
                                "updates passed over": [describe(e) for e in passed],
                                "picture": picture["path"], "step picture": own, "camera": picture["camera"]})
        return found

    report["steps"] = []
    # A box in front of the house (host coordinates, z up), then a colour of
    # its material, then the camera walks closer and to the side.
    low, high, material = [2, -4, 0], [4, -2, 2], 1
    box = step(1, "a new box", "edit box %g %g %g %g %g %g %d" % tuple(low + high + [material]),
               box_arrived(to_link(low, offset), to_link(high, offset)))
    # The colour goes to the box's material: the surface that took the box.
    rgb = [0.8, 0.2, 0.1]
    step(2, "a colour", "edit color %d %g %g %g" % tuple([material] + rgb), colour_arrived(box["record"], rgb))
    for number, name, move in ((3, "the camera moves", [4, 6, -2]), (4, "the camera again", [6, 0, 0])):
        eye = [e + d for e, d in zip(eye, move)]
        step(number, name, "camera move %g %g %g" % tuple(move), camera_arrived(to_link(eye, offset)), followed=True)

    host.run("answer save %s" % theirs(os.path.join(OUT, "house.dae")))
    exported_at, _ = host.run("menu 32105", timeout=120)  # Export as COLLADA file
    report["COLLADA"] = os.path.join(OUT, "house.dae")
    if not os.path.exists(report["COLLADA"]):
        raise Failure("the export wrote no %s" % report["COLLADA"])

    # What velmar holds now, as bytes that do not depend on the platform.
    canonical = os.path.join(OUT, "canonical.txt")
    snapshot = subprocess.run(program(VELMAR) + ["snapshot", "--canonical", theirs(canonical)],
                              env=velmar.env, capture_output=True, text=True, timeout=120)
    if snapshot.returncode != 0 or not os.path.exists(canonical):
        raise Failure("velmar snapshot --canonical failed: %s" % (snapshot.stderr.strip() or snapshot.returncode))
    report["canonical"] = canonical

    host.run("menu 32103")  # Stop Corvanta
    gltf = velmar.wait("gltf")
    report["glTF"] = ours(gltf["path"])
    velmar.wait("exit")
    last = [e for e in velmar.seen if e.get("event") == "update"]
    report["held at the end"] = last[-1]["scene"] if last else {}
    report["problems"] = [e for e in velmar.seen if e.get("event") == "problem"]


def describe(update):
    """An update in a few words: its cause and what it brought."""
    changed = update.get("changed", {})
    parts = ["%s (%s, %d triangles)" % (s["name"], s["colour"], s["triangles"]) for s in changed.get("surfaces", [])]
    if changed.get("removed"):
        parts.append("removed %s" % changed["removed"])
    if "camera" in changed:
        parts.append("camera at %s" % [round(x, 3) for x in changed["camera"]["position"]])
    if update.get("read", {}).get("status"):
        parts.append("status")
    return "%s: %s" % (update.get("cause"), ", ".join(parts) or "nothing")


def project_dir():
    path = os.path.join(OUT, "project")
    os.makedirs(path, exist_ok=True)
    return path


def main():
    for path in (VELMAR, HOSTSIM, ADDON):
        if not os.path.exists(path):
            print("main job: %s is not built" % path, file=sys.stderr)
            return 1
    if os.path.isdir(OUT):
        shutil.rmtree(OUT)
    os.makedirs(OUT)
    scratch = tempfile.mkdtemp(prefix="corv-main-")
    env = dict(os.environ)
    if WINDOWS:
        # The prefix's own registry and desktop; the add-on's settings start
        # from the defaults, as in a fresh registry store on Linux.
        subprocess.run([WINE_RUN, "reg", "delete", "HKCU\\Software\\Torvik", "/f"],
                       capture_output=True, timeout=120)
    else:
        for name, sub in (("CORV_REGISTRY_HKCU", "hkcu"), ("CORV_REGISTRY_HKLM", "hklm"), ("CORV_RUNTIME_DIR", "run")):
            os.makedirs(os.path.join(scratch, sub))
            env[name] = os.path.join(scratch, sub)
    report = {}
    velmar = host = None
    code = 0
    # The live view's screenshots need Chromium (install-deps installs it).
    live = not WINDOWS and os.access(CHROMIUM, os.X_OK) and os.path.exists(LIVE_SHOT)
    shots = None
    try:
        velmar = Velmar(env, live)
        # Under Wine the first program may make the prefix first.
        velmar.wait("ready", 180 if WINDOWS else 10)
        if live:
            shots = LiveShots(velmar.url())
        host = Host(env)
        session(velmar, host, report, shots)
    except Failure as failure:
        print("main job: FAILED: %s" % failure, file=sys.stderr)
        report["failed"] = str(failure)
        code = 1
    finally:
        if shots:
            shots.close()
        if host:
            host.quit()
        if velmar:
            velmar.stop()
        links = subprocess.run(program(VELMAR) + ["--json", "list"], env=env, capture_output=True, text=True).stdout
        left_links = json.loads(links).get("links", []) if links.strip() else []
        time.sleep(0.2)
        pids = [p.process.pid for p in (velmar, host) if p]
        # Windows' sections go with their last handle; Linux's objects are
        # files that a process's end does not remove.
        left_shm = [] if WINDOWS else sorted(shared_memory(pids))
        shutil.rmtree(scratch, ignore_errors=True)
    report["left behind"] = {"links": left_links, "shared memory": left_shm,
                             "velmar running": velmar is not None and velmar.process.poll() is None}
    with open(os.path.join(OUT, "report.json"), "w") as f:
        json.dump(report, f, indent=2)
    print_report(report)
    if left_links or left_shm:
        code = 1
    return code


def print_report(report):
    print("\nmain job: live link session (output folder %s)" % OUT)
    sent = report.get("sent", {})
    if sent:
        print("  sent at the start: %s surfaces, %s vertices, %s triangles, %s textures"
              % (sent.get("surfaces"), sent.get("vertices"), sent.get("triangles"), sent.get("textures")))
    held = report.get("held at the end", {})
    if held:
        print("  held by velmar at the end: %s surfaces, %s vertices, %s triangles, %s textures"
              % (held.get("surfaces"), held.get("vertices"), held.get("triangles"), held.get("textures")))
    if "start to first picture ms" in report:
        print("  start of the link to the first picture: %.0f ms" % report["start to first picture ms"])
    for moment, path in report.get("live view", {}).items():
        print("  live view in Chromium %s: %s" % (moment, os.path.basename(path)))
    for step in report.get("steps", []):
        print("  %-18s edit to %s %6.1f ms, to picture %6.1f ms  %s (%s)%s"
              % (step["step"] + ":", step["read by"], step["edit to wake-up ms"], step["edit to picture ms"],
                 os.path.basename(step["step picture"]), os.path.basename(step["picture"]),
                 "; %d other updates first" % len(step["updates passed over"]) if step["updates passed over"] else ""))
        shows = step["shows"]
        print("  %18s %s" % ("", ", ".join("%s %s" % (k, v) for k, v in shows.items())))
    for key in ("glTF", "COLLADA"):
        if key in report:
            path = report[key]
            size = os.path.getsize(path) if os.path.exists(path) else 0
            print("  %s: %s (%d bytes)" % (key, path, size))
    if report.get("problems"):
        print("  velmar reported %d problems (see velmar.jsonl)" % len(report["problems"]))
    if report.get("failed"):
        print("  FAILED: %s" % report["failed"])
    left = report.get("left behind", {})
    print("  left behind: %s" % ("nothing" if not any(left.values()) else left))
    print("  pictures, model.glb, house.dae, session.jsonl, velmar.jsonl and report.json are in %s" % OUT)


if __name__ == "__main__":
    sys.exit(main())
