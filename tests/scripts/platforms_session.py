#!/usr/bin/env python3
"""The user's session on Linux and on Windows gives the renderer and the
export the same content.

Runs the main job's live session (standins/velmar/scripts/main_job.py:
the sample, a save, the link started, a box, a colour, the camera twice,
the COLLADA export, the stop) once with the Linux build (hostsim,
corvanta.so, velmar) and once with the Windows build under Wine
(hostsim.exe, corvanta.dll, velmar.exe). Each run checks on its own that
velmar's updates show every step's change. Then the two are compared:

- what each step's update showed (counts, colours, digests, the camera);
- velmar's canonical form of the link before the stop, byte for byte;
- the COLLADA documents, byte for byte once the folders they name are
  written alike and the creation dates are left out;
- the exported textures: the same files with the same pixels (each build
  encodes PNG with its own library, so their bytes may differ); a JPEG's
  pixels within what two JPEG encoders of one quality differ by (each
  build has its own), read with the host's decoder (image_difference).

usage: platforms_session.py IMAGE_DIFFERENCE

Exit status 0 when all agree, 1 when anything differs or a run failed, 77
(skipped) when the Windows build or Wine is missing.

Environment: CORV_LINUX_BUILD (default build/default), CORV_WINDOWS_BUILD
(default build/windows), CORV_PLATFORMS_DIR (output, default a temporary
folder that is removed when everything agreed).
"""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

from platforms import LINUX, ROOT, SKIP, WINDOWS, windows_missing

MAIN_JOB = os.path.join(ROOT, "standins", "velmar", "scripts", "main_job.py")
# Two JPEG encoders at one quality: a channel's mean difference over the
# picture stays near 1 (rounding of the colour transform and quantisation);
# a wrong picture, turned or with channels swapped, is tens.
JPEG_MEAN_LIMIT = 3.0


def run_session(platform, build, out):
    env = dict(os.environ, CORV_MAIN_PLATFORM=platform, CORV_BUILD_DIR=build, CORV_MAIN_DIR=out)
    result = subprocess.run([sys.executable, MAIN_JOB], env=env, capture_output=True, text=True, timeout=900)
    with open(os.path.join(os.path.dirname(out), platform + ".log"), "w") as log:
        log.write(result.stdout + result.stderr)
    if result.returncode != 0:
        raise SystemExit("the %s session failed:\n%s%s" % (platform, result.stdout[-4000:], result.stderr[-4000:]))
    with open(os.path.join(out, "report.json")) as f:
        return json.load(f)


def png_pixels(path):
    """Width, height and the RGBA rows of a PNG file (8-bit, any colour
    type but palette, not interlaced: what both builds' encoders write)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("%s is not a PNG file" % path)
    pos, idat, header = 8, b"", None
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    channels = {0: 1, 2: 3, 4: 2, 6: 4}.get(colour)
    if depth != 8 or channels is None or interlace:
        raise ValueError("%s: a PNG form this check does not read (depth %d, colour %d)" % (path, depth, colour))
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append(bytes(line))
        previous = line
    # Every colour type as RGBA, so that two encoders' choices compare.
    out = []
    for row in rows:
        pixels = bytearray()
        for x in range(width):
            px = row[x * channels:(x + 1) * channels]
            if channels == 1:
                pixels += bytes([px[0], px[0], px[0], 255])
            elif channels == 2:
                pixels += bytes([px[0], px[0], px[0], px[1]])
            elif channels == 3:
                pixels += px + b"\xff"
            else:
                pixels += px
        out.append(bytes(pixels))
    return width, height, out


def document_text(path, folders):
    """The COLLADA document with the folders it names written alike and its
    dates left out."""
    with open(path, "rb") as f:
        text = f.read().decode("utf-8")
    for folder, name in folders:
        for form in (folder, "Z:" + folder.replace("/", "\\"), "file://" + folder, "file:///Z:" + folder,
                     "file:///Z:" + folder.replace("/", "\\")):
            text = text.replace(form, name)
    text = text.replace("\\", "/")
    return re.sub(r"<(created|modified)>[^<]*</\1>", r"<\1/>", text)


def main():
    image_difference = sys.argv[1]
    missing = windows_missing()
    if missing:
        print("skipped: " + missing)
        return SKIP
    chosen = os.environ.get("CORV_PLATFORMS_DIR")
    top = os.path.abspath(chosen) if chosen else tempfile.mkdtemp(prefix="corv-platforms-")
    os.makedirs(top, exist_ok=True)
    linux_out, windows_out = os.path.join(top, "linux"), os.path.join(top, "windows")
    problems = []
    linux = run_session("linux", LINUX, linux_out)
    windows = run_session("windows", WINDOWS, windows_out)

    for a, b in zip(linux["steps"], windows["steps"]):
        if a["shows"] != b["shows"]:
            problems.append("step '%s': Linux's update showed %s, Windows' %s" % (a["step"], a["shows"], b["shows"]))
    if len(linux["steps"]) != len(windows["steps"]):
        problems.append("%d steps on Linux, %d on Windows" % (len(linux["steps"]), len(windows["steps"])))
    def held(report):
        # The status record's elapsed time and the digest of the project's
        # file name (a path, another one on each run) are the run's own.
        scene = json.loads(json.dumps(report.get("held at the end", {})))
        for key in ("time", "fileNameCrc"):
            scene.get("status", {}).pop(key, None)
        return scene
    if held(linux) != held(windows):
        problems.append("velmar held %s on Linux, %s on Windows" % (held(linux), held(windows)))

    with open(linux["canonical"], "rb") as f, open(windows["canonical"], "rb") as g:
        if f.read() != g.read():
            problems.append("velmar's canonical forms differ: %s and %s" % (linux["canonical"], windows["canonical"]))

    folders = [(linux_out, "<out>"), (windows_out, "<out>")]
    if document_text(linux["COLLADA"], folders) != document_text(windows["COLLADA"], folders):
        problems.append("the COLLADA documents differ beyond their folders and dates: %s and %s"
                        % (linux["COLLADA"], windows["COLLADA"]))
    textures = lambda out: sorted(name for name in os.listdir(out) if os.path.isdir(os.path.join(out, name)) and
                                  name.startswith("house"))
    if textures(linux_out) != textures(windows_out):
        problems.append("texture folders: %s on Linux, %s on Windows" % (textures(linux_out), textures(windows_out)))
    compared = 0
    for folder in textures(linux_out):
        mine, theirs = os.path.join(linux_out, folder), os.path.join(windows_out, folder)
        names = sorted(os.listdir(mine))
        if names != sorted(os.listdir(theirs)):
            problems.append("%s holds %s on Linux, %s on Windows" % (folder, names, sorted(os.listdir(theirs))))
            continue
        for name in names:
            if name.lower().endswith(".png"):
                if png_pixels(os.path.join(mine, name)) != png_pixels(os.path.join(theirs, name)):
                    problems.append("texture %s/%s: the pixels differ" % (folder, name))
            elif name.lower().endswith((".jpg", ".jpeg")):
                told = subprocess.run([image_difference, os.path.join(mine, name), os.path.join(theirs, name)],
                                      capture_output=True, text=True)
                words = told.stdout.split()
                if told.returncode != 0 or len(words) != 4 or float(words[2]) > JPEG_MEAN_LIMIT:
                    problems.append("texture %s/%s: not the same picture (%s)"
                                    % (folder, name, (told.stdout + told.stderr).strip()))
            else:
                with open(os.path.join(mine, name), "rb") as f, open(os.path.join(theirs, name), "rb") as g:
                    if f.read() != g.read():
                        problems.append("texture %s/%s differs" % (folder, name))
            compared += 1

    for problem in problems:
        print("DIFFERS: " + problem)
    if problems:
        print("the two sessions are in %s" % top)
        return 1
    print("Linux and Windows agree: %d steps, canonical form (%d bytes), COLLADA document, %d textures"
          % (len(linux["steps"]), os.path.getsize(linux["canonical"]), compared))
    if not chosen:
        shutil.rmtree(top, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
