#!/usr/bin/env python3
"""Writes the fuzz targets' hand-made seeds into fuzz/corpus/: control areas
laid out as the link lays them out (header, records, blocks), values files
of the registry store, requests and frames of the live view, and copies of
the host model samples. Rerunning it rewrites the same files; what the
fuzzer found lives beside them under hashed names."""
import base64
import pathlib
import shutil
import struct

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
CORPUS = HERE / "corpus"
MARK = b"\n--corv-piece--\n"

SLOT = 2048
CREATOR = 4242


def code(text):
    return struct.unpack("<I", text.encode())[0]


def utf16(text, units):
    raw = text.encode("utf-16-le")[: units * 2]
    return raw + b"\0" * (units * 2 - len(raw))


def header(capacity, records, highest, *, total=None, label="fuzz", peer1="", peer2="", lock=0, flags=1):
    total = (capacity + 1) * SLOT if total is None else total
    h = struct.pack("<13I", code("HEAD"), 1244, 0, flags, 1, 1, lock, total, SLOT, capacity, records, highest, CREATOR)
    h += utf16(label, 64) + b"\0" * 16 + struct.pack("<I", 1)
    h += utf16(peer1, 260) + utf16(peer2, 260) + struct.pack("<I", 0)
    return h + b"\0" * (SLOT - len(h))


def record(kind, size, rid, payload=b"", flags=1):
    r = struct.pack("<5I", code(kind), size, rid, flags, 1) + payload
    return r + b"\0" * (SLOT - len(r))


def surface(rid, name, *, geometry=0, geometry_capacity=0, texture=0, texture_capacity=0, path=""):
    p = struct.pack("<I", 1) + utf16(name, 260) + struct.pack("<i", 3) + b"\0" * 256
    p += struct.pack("<I8f", 0xFF804020, 0.5, 0.2, 0, 0, 1.0, 0.0, 1.0, 1.0) + b"\0" * 16
    p += struct.pack("<I", 1 if (texture or path) else 0) + utf16(path, 260)
    p += struct.pack("<3I", texture, texture_capacity, 0xFFFFFFFF) + b"\0" * 520
    p += struct.pack("<I", 0) + b"\0" * 4 + struct.pack("<3I", 1, geometry, geometry_capacity)
    return record("SRFC", 1932, rid, p)


def geometry_block(triangles):
    positions = [(0, 0, 0), (1, 0, 0), (0, 1, 0), (1, 1, 0)]
    v = len(positions)
    body = struct.pack("<3I", v, 3 * len(triangles), 1)
    for p in positions:
        body += struct.pack("<3f", *p)
    for _ in positions:
        body += struct.pack("<3f", 0, 0, 1)
    for p in positions:
        body += struct.pack("<2f", p[0], p[1])
    for t in triangles:
        body += struct.pack("<3I", *t)
    return body


def bitmap_block(width, height, top_down=True, bits=32):
    row = (width * bits // 8 + 3) // 4 * 4
    pixels = b"".join(bytes([x * 40, y * 40, 200, 255][: bits // 8]) for y in range(height) for x in range(width))
    if bits == 24:
        pixels = b"".join(pixels[y * width * 3:(y + 1) * width * 3].ljust(row, b"\0") for y in range(height))
    size = 54 + len(pixels)
    h = b"BM" + struct.pack("<IHHI", size, 0, 0, 54)
    h += struct.pack("<IiiHHIIiiII", 40, width, -height if top_down else height, 1, bits, 0, len(pixels), 0, 0, 0, 0)
    return h + pixels


def status_block(text):
    raw = text.encode("utf-16-le") + b"\0\0"
    return raw + b"\0" * len(raw)


def link(capacity, slots, blocks=(), **kw):
    area = header(capacity, len(slots) + 1, max(len(slots) - 1, 0), **kw) + b"".join(slots)
    area += b"\0" * ((capacity + 1) * SLOT - len(area))
    return MARK.join([area] + list(blocks))


def write(target, name, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def view():
    camera = struct.pack("<16f", 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 2, 3, 4, 1) + b"\0" * 520
    camera += struct.pack("<I10f", 6, 60, 2, 3, 4, 0, 0, 1, 0, 1, 0)
    return record("VIEW", 652, 1, struct.pack("<I", 1) + camera)


def links():
    status = status_block('{"toolName":"fuzz","version":"3"}')
    slots = [view(), record("STAT", 28, 2, struct.pack("<2I", 1, len(status))),
             surface(3, "Brick", geometry=2, geometry_capacity=len(geometry_block([(0, 1, 2), (1, 3, 2)])),
                     texture=3, texture_capacity=len(bitmap_block(2, 2)))]
    blocks = [status, geometry_block([(0, 1, 2), (1, 3, 2)]), bitmap_block(2, 2)]
    whole = link(3, slots, blocks, peer1="velmar", peer2="1.0")
    for target in ("link_area", "link_reader"):
        write(target, "seed-published", whole)
        write(target, "seed-empty", link(1, []))
        write(target, "seed-bad-total", link(1, [], total=12345))
        write(target, "seed-header-only", header(0, 1, 0))
        one = link(2, [view()])
        write(target, "seed-highest-past-end", one[:44] + struct.pack("<I", 0xFFFFFFFF) + one[48:])
        write(target, "seed-locked", link(1, [view()], lock=1, flags=3))
        write(target, "seed-retired", link(2, [view(), record("SRFI", 1932, 7)]))
    # The reader: blocks that lie about their counts, bottom-up 24-bit
    # pixels, a texture named by path.
    bad_geometry = struct.pack("<3I", 0xFFFFFFFF, 3, 1) + b"\0" * 64
    write("link_reader", "seed-lying-geometry",
          link(2, [surface(1, "Lie", geometry=1, geometry_capacity=4096)], [bad_geometry]))
    write("link_reader", "seed-bottom-up-24",
          link(2, [surface(1, "Rows", texture=1, texture_capacity=200)], [bitmap_block(3, 2, False, 24)]))
    write("link_reader", "seed-texture-path",
          link(2, [surface(1, "File", path="/nonexistent/texture.png")]))
    write("link_reader", "seed-texture-path-device", link(2, [surface(1, "Endless", path="/dev/zero")]))


def registry():
    live = '{\n  "format": "corvanta registry key 1",\n  "values": [\n%s\n  ]\n}\n'
    entries = [
        '    {"name": "live", "type": "REG_DWORD", "dword": 1}',
        '    {"name": "C:\\\\Links\\\\gone.dae", "type": "REG_DWORD", "dword": 1}',
        '    {"name": "C:\\\\Links\\\\other-kind.dae", "type": "REG_DWORD", "dword": 7}',
        '    {"name": "long", "type": "REG_BINARY", "hex": "0100000000"}',
        '    {"name": "' + "n" * 270 + '", "type": "REG_DWORD", "dword": 1}',
        '    {"name": "short", "type": 3, "hex": "01"}',
    ]
    write("connection_registry", "seed-mixed", live % ",\n".join(entries))
    write("connection_registry", "seed-empty", live % "")
    write("connection_registry", "seed-damaged", '{"format": "corvanta registry key 1", "values": [')
    doc = ('{\n  "format": "corvanta registry key 1",\n  "values": [\n'
           '    {"name": "OffsetType", "type": "REG_DWORD", "dword": 1},\n'
           '    {"name": "CustomOffset", "type": "REG_SZ", "text": "0.010000"},\n'
           '    {"name": "Unterminated", "type": "REG_SZ", "text": "abc", "terminated": false},\n'
           '    {"name": "Blob", "type": "REG_BINARY", "hex": "00ff10"},\n'
           '    {"name": "", "type": 7, "hex": "6100000000"},\n'
           '    {"name": "Esc\\u00e9\\ud83d\\ude00\\n", "type": "REG_SZ", "text": "t\\u0000x"}\n'
           '  ]\n}\n')
    write("registry_file", "seed-every-kind", doc)
    write("registry_file", "seed-empty-values", '{"format": "corvanta registry key 1", "values": []}')
    write("registry_file", "seed-case-twins",
          '{"format": "corvanta registry key 1", "values": [{"name": "a", "type": "REG_DWORD", "dword": 1},'
          ' {"name": "A", "type": "REG_DWORD", "dword": 2}]}')
    write("registry_file", "seed-lone-surrogate",
          '{"format": "corvanta registry key 1", "values": [{"name": "\\ud800", "type": "REG_NONE", "hex": ""}]}')
    write("registry_file", "seed-truncated", doc[: len(doc) // 2])
    settings = ('{\n  "format": "corvanta registry key 1",\n  "values": [\n'
                '    {"name": "CameraAutoSync", "type": "REG_DWORD", "dword": 1},\n'
                '    {"name": "MemoryTextures", "type": "REG_DWORD", "dword": 0},\n'
                '    {"name": "ColorAsTextures", "type": "REG_DWORD", "dword": 1},\n'
                '    {"name": "SmoothSurfaces", "type": "REG_DWORD", "dword": 1},\n'
                '    {"name": "OptimizeSurfaces", "type": "REG_DWORD", "dword": 1},\n'
                '    {"name": "ExportNodes", "type": "REG_DWORD", "dword": 0},\n'
                '    {"name": "OffsetType", "type": "REG_DWORD", "dword": 3},\n'
                '    {"name": "CustomOffset", "type": "REG_SZ", "text": "0.250000"}\n'
                '  ]\n}\n')
    write("settings", "seed-saved", settings)
    write("settings", "seed-unusable",
          settings.replace('"dword": 3', '"dword": 99').replace('"text": "0.250000"', '"text": "1e999"')
          .replace('{"name": "ExportNodes", "type": "REG_DWORD", "dword": 0}',
                   '{"name": "ExportNodes", "type": "REG_BINARY", "hex": "0100"}'))
    write("settings", "seed-foreign-value",
          settings.replace('  ]', '    ,{"name": "SomeoneElse", "type": "REG_SZ", "text": "keep me"}\n  ]'))
    write("settings", "seed-damaged", settings[:-20])


def frame(opcode, payload, fin=True):
    head = bytes([(0x80 if fin else 0) | opcode])
    n = len(payload)
    if n < 126:
        head += bytes([0x80 | n])
    elif n < 65536:
        head += bytes([0x80 | 126]) + struct.pack(">H", n)
    else:
        head += bytes([0x80 | 127]) + struct.pack(">Q", n)
    return head + b"\0\0\0\0" + payload  # mask key 0: the payload as it is


def live():
    get = "GET {path} HTTP/1.1\r\nHost: {host}\r\n{extra}\r\n"
    write("live_view", "seed-page", get.format(path="/", host="127.0.0.1:{PORT}", extra=""))
    write("live_view", "seed-head-script", get.format(path="/live.js?x=1", host="localhost:{PORT}", extra="")
          .replace("GET", "HEAD", 1))
    write("live_view", "seed-foreign-host", get.format(path="/", host="evil.example:{PORT}", extra=""))
    write("live_view", "seed-no-host", "GET / HTTP/1.1\r\n\r\n")
    write("live_view", "seed-post", get.format(path="/", host="127.0.0.1:{PORT}", extra="Content-Length: 3\r\n")
          + "abc")
    write("live_view", "seed-pipelined",
          get.format(path="/three.js", host="127.0.0.1:{PORT}", extra="Connection: keep-alive\r\n") +
          get.format(path="/missing", host="127.0.0.1:{PORT}", extra=""))
    write("live_view", "seed-live-plain", get.format(path="/live", host="127.0.0.1:{PORT}", extra=""))
    upgrade = ("GET /live HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
               "Origin: http://127.0.0.1:{PORT}\r\n\r\n").encode()
    shown = (b'{"kind":"shown","update":3,"wakeAt":1.5,"readAt":2,"firstFrameAt":2.5,"appliedAt":3,'
             b'"shownAt":4.25,"bytes":100,"triangles":2,"surfaces":1,"frames":3,"whole":true,"extra":"x"}')
    write("live_view", "seed-upgrade-report", upgrade + MARK + frame(1, shown) + frame(8, struct.pack(">H", 1000)))
    write("live_view", "seed-upgrade-fragments",
          upgrade + MARK + frame(1, shown[:20], fin=False) + frame(9, b"ping") + frame(0, shown[20:]) +
          frame(2, b"\x01\x02"))
    write("live_view", "seed-upgrade-foreign-origin", upgrade.replace(b"Origin: http://127.0.0.1", b"Origin: null#"))
    write("live_view", "seed-upgrade-bad-key", upgrade.replace(b"dGhlIHNhbXBsZSBub25jZQ==", b"short") + MARK +
          frame(1, b"{}"))


def models():
    samples = ROOT / "standins/host/model/samples"
    data = ROOT / "standins/host/model/tests/data"
    write("obj_model", "seed-yard", (data / "yard.obj").read_bytes() + MARK + (data / "yard.mtl").read_bytes() +
          MARK + (data / "checker.png").read_bytes())
    write("obj_model", "seed-house", (samples / "house.obj").read_bytes() + MARK + (samples / "house.mtl").read_bytes())
    write("obj_model", "seed-tiny",
          "mtllib model.mtl\no a\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\nusemtl m\nf 1/1/1 2/1/1 3/1/1\n"
          "l 1 2\np 3\n" + MARK.decode() + "newmtl m\nKd 1 0 0\nmap_Kd texture.png\n")
    shutil.copyfile(samples / "house.pln", CORPUS / "project_file" / "seed-house")
    pixels = base64.b64encode(bytes([255, 200, 100, 50] * 4)).decode()
    write("project_file", "seed-embedded",
          '{"format": "host-project", "version": 1, "state": {"untitled": true},'
          ' "textures": [{"pixels": {"width": 2, "height": 2, "argb": "' + pixels + '"}}],'
          ' "materials": [], "elements": []}')
    (CORPUS / "project_file" / "seed-file-texture").write_bytes(
        b'{"format": "host-project", "version": 1, "textures": [{"file": "texture.png"}]}' + MARK +
        (data / "checker.png").read_bytes())
    write("project_file", "seed-wrong-version", '{"format": "host-project", "version": 2}')


if __name__ == "__main__":
    for target in ("link_area", "link_reader", "connection_registry", "registry_file", "settings", "live_view",
                   "obj_model", "project_file"):
        (CORPUS / target).mkdir(parents=True, exist_ok=True)
    links()
    registry()
    live()
    models()
