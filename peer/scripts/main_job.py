#!/usr/bin/env python3
"""The main job's live-link session, end to end between real processes.

Starts velmar (pictures after every update, glTF at the end), starts hostsim
with the add-on, opens the host's sample building, starts the link, makes a
few edits and moves the camera, exports COLLADA and stops; then prints what
was sent and how long it took, and leaves pictures, glTF, COLLADA and the
session logs in one folder. It keeps its registry and windows to itself and
leaves no process and no shared memory behind.

Environment: CORV_BUILD_DIR (default build/default), CORV_MAIN_DIR (the
output folder, default <build>/main-job).
"""
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, os.environ.get("CORV_BUILD_DIR", "build/default"))
OUT = os.path.abspath(os.environ.get("CORV_MAIN_DIR", os.path.join(BUILD, "main-job")))
VELMAR = os.path.join(BUILD, "peer", "velmar")
HOSTSIM = os.path.join(BUILD, "host", "hostsim", "hostsim")
ADDON = os.path.join(BUILD, "addon", "corvanta.so")
WAIT = 30.0  # seconds for any one step


class Failure(Exception):
    pass


def now_ms():
    return time.time() * 1000.0


class Velmar:
    """velmar run as a child, its JSON events collected by a thread."""

    def __init__(self, env):
        self.log = open(os.path.join(OUT, "velmar.jsonl"), "w")
        self.process = subprocess.Popen(
            [VELMAR, "--json", "--app-version", "8.4.0", "run", "--snapshots", OUT,
             "--gltf", os.path.join(OUT, "model.glb"), "--size", "960x720", "--exit-when-ended"],
            stdout=subprocess.PIPE, stderr=open(os.path.join(OUT, "velmar.stderr"), "w"),
            env=env, text=True)
        self.events = queue.Queue()
        self.seen = []
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

    def wait(self, kind, timeout=WAIT, where=lambda e: True):
        """The next event of that kind (and condition); earlier ones are kept in seen."""
        deadline = time.time() + timeout
        while True:
            left = deadline - time.time()
            if left <= 0:
                raise Failure("velmar did not report '%s' within %.0f s" % (kind, timeout))
            try:
                event = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if event is None:
                raise Failure("velmar ended before reporting '%s'" % kind)
            self.seen.append(event)
            if event.get("event") == kind and where(event):
                return event

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
            [HOSTSIM, "--no-launch", "--echo", "--addon", ADDON, "--json",
             os.path.join(OUT, "session.jsonl")],
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


def session(velmar, host, report):
    project = os.path.join(OUT, "project")
    os.makedirs(project, exist_ok=True)
    host.run("sample")
    host.run("saveas %s" % os.path.join(project, "house.pln"))
    host.run("window 3d")
    host.run("projection perspective")

    started, _ = host.run("menu 32101")  # Start Corvanta
    update = velmar.wait("update")
    first = velmar.wait("picture")
    report["start to first picture ms"] = first["at"] - started
    report["first picture"] = first["path"]
    report["sent"] = update["scene"]

    def read_scene(event):
        read = event.get("read", {})
        return any(read.get(k) for k in ("added", "removed", "camera", "geometries", "parameters", "textures"))

    def step(name, command, picture_camera=None):
        sent, _ = host.run(command)
        # The update that read what the edit changed, and the wake-up that
        # led to it (earlier wake-ups may still be queued behind a picture).
        # velmar's own poll may see the change before the wake-up message is
        # taken from its queue; then the wake-up follows the update and the
        # time to the update is the honest figure.
        update = velmar.wait("update", where=lambda e: e["at"] >= sent and (e["cause"] == "wake" or read_scene(e)))
        wakes = [e for e in velmar.seen if e.get("event") == "wake" and sent <= e["at"] <= update["at"]]
        wake = wakes[-1] if wakes else update
        picture = velmar.wait("picture", where=lambda e: picture_camera is None or e["camera"] == picture_camera)
        report["steps"].append({"step": name, "command": command,
                                "edit to wake-up ms": round(wake["at"] - sent, 1),
                                "edit to picture ms": round(picture["at"] - sent, 1),
                                "picture": picture["path"], "camera": picture["camera"]})

    report["steps"] = []
    # A box in front of the house (host coordinates, z up), then a colour of
    # its material, then the camera walks closer and to the side.
    step("a new box", "edit box 2 -4 0 4 -2 2 1")
    step("a colour", "edit color 1 0.8 0.2 0.1")
    step("the camera moves", "camera move 4 6 -2", picture_camera="followed")
    step("the camera again", "camera move 6 0 0", picture_camera="followed")

    host.run("answer save %s" % os.path.join(OUT, "house.dae"))
    exported_at, _ = host.run("menu 32105", timeout=120)  # Export as COLLADA file
    report["COLLADA"] = os.path.join(OUT, "house.dae")

    host.run("menu 32103")  # Stop Corvanta
    gltf = velmar.wait("gltf")
    report["glTF"] = gltf["path"]
    velmar.wait("exit")
    last = [e for e in velmar.seen if e.get("event") == "update"]
    report["held at the end"] = last[-1]["scene"] if last else {}
    report["problems"] = [e for e in velmar.seen if e.get("event") == "problem"]


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
    for name, sub in (("CORV_REGISTRY_HKCU", "hkcu"), ("CORV_REGISTRY_HKLM", "hklm"), ("CORV_RUNTIME_DIR", "run")):
        os.makedirs(os.path.join(scratch, sub))
        env[name] = os.path.join(scratch, sub)
    report = {}
    velmar = host = None
    code = 0
    try:
        velmar = Velmar(env)
        velmar.wait("ready", 10)
        host = Host(env)
        session(velmar, host, report)
    except Failure as failure:
        print("main job: FAILED: %s" % failure, file=sys.stderr)
        code = 1
    finally:
        if host:
            host.quit()
        if velmar:
            velmar.stop()
        links = subprocess.run([VELMAR, "--json", "list"], env=env, capture_output=True, text=True).stdout
        left_links = json.loads(links).get("links", []) if links.strip() else []
        time.sleep(0.2)
        pids = [p.process.pid for p in (velmar, host) if p]
        left_shm = sorted(shared_memory(pids))
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
    for step in report.get("steps", []):
        print("  %-18s edit to wake-up %6.1f ms, to picture %6.1f ms  %s"
              % (step["step"] + ":", step["edit to wake-up ms"], step["edit to picture ms"],
                 os.path.basename(step["picture"])))
    for key in ("glTF", "COLLADA"):
        if key in report:
            path = report[key]
            size = os.path.getsize(path) if os.path.exists(path) else 0
            print("  %s: %s (%d bytes)" % (key, path, size))
    if report.get("problems"):
        print("  velmar reported %d problems (see velmar.jsonl)" % len(report["problems"]))
    left = report.get("left behind", {})
    print("  left behind: %s" % ("nothing" if not any(left.values()) else left))
    print("  pictures, model.glb, house.dae, session.jsonl, velmar.jsonl and report.json are in %s" % OUT)


if __name__ == "__main__":
    sys.exit(main())
