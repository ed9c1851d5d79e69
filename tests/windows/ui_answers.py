# SPDX-License-Identifier: MIT
"""dupfind.exe --ui under Wine: its server answers on the loopback
interface, with the secret of the printed address and not without it, serves
the groups and an image's thumbnail, and ends once its last page said bye.

Usage: ui_answers.py DUPFIND_EXE WINE
"""

from __future__ import annotations

import http.client
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path
from urllib.parse import parse_qs, urlsplit


def png() -> bytes:
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    rows = b"".join(b"\0" + b"\x20\x80\xf0" * 8 for _ in range(8))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 8, 8, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def get(port: int, path: str, cookie: str | None, method: str = "GET", body: str | None = None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    headers = {"Host": f"127.0.0.1:{port}"}
    if cookie:
        headers["Cookie"] = cookie
    if method == "POST":
        headers.update({"Origin": f"http://127.0.0.1:{port}", "Content-Type": "application/json"})
    conn.request(method, path, body=body, headers=headers)
    r = conn.getresponse()
    out = r.status, r.getheader("Content-Type"), r.read()
    conn.close()
    return out


def main(exe: str, wine: str) -> int:
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        for name in ("a.png", "b.png"):
            (root / name).write_bytes(png())
        env = dict(os.environ)
        env.setdefault("WINEDEBUG", "-all")
        env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        proc = subprocess.Popen([wine, exe, "--ui", "--no-browser", "--keep", "first", "--idle-timeout", "120",
                                 "Z:" + str(root).replace("/", "\\")],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
        try:
            line = proc.stdout.readline()
            m = re.search(r"(http://127\.0\.0\.1:\d+/\?key=[0-9a-f]{32,})", line)
            if not m:
                print(f"no address printed: {line!r}; stderr {proc.stderr.read()!r}")
                return 1
            url = urlsplit(m.group(1))
            port, key = url.port, parse_qs(url.query)["key"][0]
            cookie = f"dupfind_{port}={key}"
            if get(port, "/api/state", None)[0] != 403:
                failures.append("a request without the secret was not refused")
            for _ in range(600):
                status, _, body = get(port, "/api/state?page=wine", cookie)
                if status != 200 or json.loads(body)["phase"] != "scanning":
                    break
                time.sleep(0.1)
            status, _, body = get(port, "/api/groups", cookie)
            groups = json.loads(body)["groups"] if status == 200 else []
            if len(groups) != 1 or len(groups[0]["files"]) != 2:
                failures.append(f"groups: {status} {body[:300]!r}")
            status, ctype, body = get(port, "/api/media?group=0&file=0", cookie)
            if status != 200 or ctype != "image/png" or body != png():
                failures.append(f"thumbnail: {status} {ctype}")
            status, _, body = get(port, "/", cookie)
            if status != 200 or b"<title>dupfind</title>" not in body:
                failures.append(f"page: {status}")
            get(port, "/api/bye", cookie, "POST", json.dumps({"page": "wine"}))
            rc = proc.wait(timeout=60)
            err = proc.stderr.read()
            if rc != 0 or "the last page was closed" not in err:
                failures.append(f"end: exit {rc}, stderr {err!r}")
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    for f in failures:
        print("FAILED:", f)
    if not failures:
        print("dupfind.exe --ui answered under Wine")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
