# SPDX-License-Identifier: MIT
"""The page's server as an attacker meets it: requests without the secret,
from other sites, under other host names, with tricks in the indexes and
bodies. Every refusal is a 4xx with a one-line reason, and the server goes on
serving; the files stay untouched."""

import http.client
import json
import socket
import threading
import time

import pytest

from conftest import start_ui, stop_ui

# The requests that must be refused, and those that were, for the figures
# of the run.
TRIED = {"sent": 0, "refused": 0}


def request(ui, method, path, headers=None, body=None, host=None, cookie=True):
    h = {"Host": host if host is not None else f"127.0.0.1:{ui.port}"}
    if cookie:
        h["Cookie"] = ui.cookie
    h.update(headers or {})
    conn = http.client.HTTPConnection("127.0.0.1", ui.port, timeout=20)
    conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
    for k, v in h.items():
        if v is not None:
            conn.putheader(k, v)
    data = body.encode() if isinstance(body, str) else body
    if data is not None:
        conn.putheader("Content-Length", str(len(data)))
    conn.endheaders(data)
    r = conn.getresponse()
    out = (r.status, {k.lower(): v for k, v in r.getheaders()}, r.read())
    conn.close()
    return out


def post(ui, path, body, origin="own", ctype="application/json", **kw):
    headers = {"Content-Type": ctype}
    headers["Origin"] = f"http://127.0.0.1:{ui.port}" if origin == "own" else origin
    return request(ui, "POST", path, headers, json.dumps(body) if not isinstance(body, (str, bytes)) else body, **kw)


def assert_refused(resp, status):
    code, headers, body = resp
    TRIED["sent"] += 1
    TRIED["refused"] += 400 <= code < 500
    assert code == status, body
    # One line of reason, and nothing of the page.
    assert body.endswith(b"\n") and body.count(b"\n") == 1 and len(body) < 200, body
    assert b"<" not in body
    assert "access-control-allow-origin" not in headers


def wrong_key(ui):
    """The key with its last digit changed."""
    return ui.key[:-1] + ("1" if ui.key[-1] == "0" else "0")


def delete_plan(ui, keep=0):
    return {"action": "delete", "groups": [{"group": g, "keep": [keep]} for g in range(7)]}


def files_of(tree):
    return sorted(p.relative_to(tree.root).as_posix() for p in tree.root.rglob("*") if p.is_file())


@pytest.mark.parametrize("method,path", [
    ("GET", "/"), ("GET", "/app.js"), ("GET", "/api/state"), ("GET", "/api/groups"),
    ("GET", "/api/media?group=0&file=0"), ("GET", "/api/text?group=0&file=0"), ("GET", "/?key="),
    ("GET", "/?key=0123456789abcdef"), ("GET", "/api/groups?key=KEY"), ("POST", "/api/apply"), ("POST", "/api/cancel"),
])
def test_without_the_secret_nothing_is_served(ui, tree, method, path):
    before = files_of(tree)
    headers = {"Content-Type": "application/json", "Origin": f"http://127.0.0.1:{ui.port}"}
    path = path.replace("KEY", ui.key)  # the key is taken from the address of the page only
    assert_refused(request(ui, method, path, headers, json.dumps(delete_plan(ui)) if method == "POST" else None,
                           cookie=False), 403)
    # A wrong cookie is no cookie.
    assert_refused(request(ui, method, path, dict(headers, Cookie=f"dupfind_{ui.port}={wrong_key(ui)}"),
                           json.dumps(delete_plan(ui)) if method == "POST" else None, cookie=False), 403)
    assert files_of(tree) == before


def test_the_address_sets_a_strict_cookie_and_drops_the_secret(ui):
    assert len(ui.key) >= 32  # at least 128 bits, in hexadecimal digits
    code, headers, _ = request(ui, "GET", f"/?key={ui.key}", cookie=False)
    assert code == 303 and headers["location"] == "/"
    cookie = headers["set-cookie"]
    assert cookie.startswith(ui.cookie + ";")
    assert "HttpOnly" in cookie and "SameSite=Strict" in cookie
    code, _, body = request(ui, "GET", "/")
    assert code == 200 and b"<title>dupfind</title>" in body


@pytest.mark.parametrize("host", [
    "evil.example:{port}", "evil.example", "localhost", "127.0.0.1", "127.0.0.1:{other}", "localhost.evil.example:{port}",
    "127.0.0.2:{port}", "0.0.0.0:{port}", "",
])
def test_a_foreign_host_header_is_refused(ui, host):
    host = host.format(port=ui.port, other=ui.port + 1)
    assert_refused(request(ui, "GET", "/api/groups", host=host), 403)


@pytest.mark.parametrize("host", ["127.0.0.1:{port}", "localhost:{port}", "[::1]:{port}"])
def test_the_loopback_names_are_answered(ui, host):
    assert request(ui, "GET", "/api/state", host=host.format(port=ui.port))[0] == 200


@pytest.mark.parametrize("origin", [
    "http://evil.example", None, "null", "http://127.0.0.1:{other}", "https://127.0.0.1:{port}",
    "http://localhost:{port}",  # another origin than the Host the request names
])
def test_a_post_from_another_origin_changes_nothing(ui, tree, origin):
    before = files_of(tree)
    origin = origin.format(port=ui.port, other=ui.port + 1) if origin else None
    assert_refused(post(ui, "/api/apply", delete_plan(ui), origin=origin), 403)
    assert_refused(post(ui, "/api/cancel", {}, origin=origin), 403)
    assert files_of(tree) == before


@pytest.mark.parametrize("site", ["cross-site", "same-site"])  # same-site: another port of this machine
def test_a_request_that_a_browser_marks_from_elsewhere_is_refused(ui, site):
    assert_refused(request(ui, "GET", "/api/groups", {"Sec-Fetch-Site": site}), 403)


@pytest.mark.parametrize("ctype", ["text/plain", "application/x-www-form-urlencoded", "multipart/form-data", None])
def test_a_body_that_a_form_could_send_is_refused(ui, tree, ctype):
    before = files_of(tree)
    assert_refused(post(ui, "/api/apply", delete_plan(ui), ctype=ctype), 415)
    assert files_of(tree) == before


@pytest.mark.parametrize("method,path,status", [
    ("PUT", "/api/apply", 405), ("DELETE", "/api/groups", 405), ("OPTIONS", "/api/apply", 405),
    ("GET", "/api/apply", 404), ("GET", "/api/nothing", 404), ("GET", "/../../etc/passwd", 404),
    ("GET", "/api/media?path=/etc/passwd", 404), ("GET", "/api/media?group=0&file=99", 404),
    ("GET", "/api/media?group=99&file=0", 404), ("GET", "/api/media?group=-1&file=0", 404),
    ("GET", "/api/media?group=0x0&file=0", 404), ("GET", "/api/media?group=0&file=1e0", 404),
    ("GET", "/api/media?group=%2e%2e&file=0", 404), ("GET", "/api/media?group=0&file=../../etc/passwd", 404),
    ("GET", "/api/media?group=99999999999999999999&file=0", 404), ("GET", "/api/media", 404),
    ("GET", "/" + "a" * 9000, 414),
])
def test_unknown_routes_methods_and_indexes_get_a_reason(ui, method, path, status):
    wait_ready(ui)
    assert_refused(request(ui, method, path), status)


def wait_ready(ui):
    for _ in range(200):
        code, _, body = request(ui, "GET", "/api/state")
        if json.loads(body)["phase"] != "scanning":
            return
        time.sleep(0.05)
    raise AssertionError("the scan did not end")


def group_of(ui, name):
    groups = json.loads(request(ui, "GET", "/api/groups")[2])["groups"]
    return next(g for g in groups if g["files"][0]["path"].endswith("/" + name))


@pytest.mark.parametrize("name,endpoint,status", [
    ("drawing.svg", "media", 415), ("drawing.svg", "text", 415),  # never shown, not even as text
    ("fake.png", "media", 415),  # the name says PNG, the bytes are markup
    ("notes.txt", "media", 415), ("sunset.png", "text", 415),
])
def test_markup_and_mismatched_files_are_never_served(ui, name, endpoint, status):
    wait_ready(ui)
    g = group_of(ui, name)
    assert_refused(request(ui, "GET", f"/api/{endpoint}?group={g['index']}&file=0"), status)


def test_previews_are_served_with_the_sniffed_type_and_the_headers(ui):
    wait_ready(ui)
    for name, endpoint, ctype in [("sunset.png", "media", "image/png"), ("sea.bmp", "media", "image/bmp"),
                                  ("chime.wav", "media", "audio/wav"),
                                  ("notes.txt", "text", "text/plain; charset=utf-8")]:
        g = group_of(ui, name)
        code, headers, body = request(ui, "GET", f"/api/{endpoint}?group={g['index']}&file=1")
        assert code == 200 and headers["content-type"] == ctype
        assert headers["x-content-type-options"] == "nosniff"
        assert "default-src 'none'" in headers["content-security-policy"]
        assert "access-control-allow-origin" not in headers
    assert body.startswith(b"<script>")  # as text: the page puts it in textContent
    assert headers["content-disposition"] == "attachment"


@pytest.mark.parametrize("body,why", [
    ("{", "not a JSON object"), ("[]", "not a JSON object"), ('{"action":"rm","groups":[]}', "action"),
    ('{"action":"delete"}', "groups"), ('{"action":"delete","groups":[],"path":"/etc"}', "unknown key"),
    ('{"action":"delete","groups":[{"group":0,"keep":[]}]}', "keeps no file"),
    ('{"action":"delete","groups":[{"group":0,"keep":[5]}]}', "no such file"),
    ('{"action":"delete","groups":[{"group":99,"keep":[0]}]}', "no group"),
    ('{"action":"delete","groups":[{"group":-1,"keep":[0]}]}', "each entry"),
    ('{"action":"delete","groups":[{"group":0,"keep":["/etc/passwd"]}]}', "no such file"),
    ('{"action":"delete","groups":[{"group":0,"keep":[0],"path":"x"}]}', "each entry"),
    ('{"action":"delete","groups":[{"group":0,"keep":[0]},{"group":0,"keep":[1]}]}', "named twice"),
    # The reason stays one line of UTF-8 whatever the body holds.
    ('{"a\\nb":1}', "unknown key 'a'$'\\n''b'"), ('{"\\udc00":1}', "unknown key (not UTF-8)"),
    (b'{"\xe9":1}', "not a JSON object"),
])
@pytest.mark.parametrize("endpoint", ["plan", "apply"])
def test_bad_plans_are_refused_and_change_nothing(ui, tree, body, why, endpoint):
    wait_ready(ui)
    before = files_of(tree)
    resp = post(ui, f"/api/{endpoint}", body)
    assert_refused(resp, 400)
    assert why.encode() in resp[2]
    assert files_of(tree) == before


def test_an_oversized_body_is_refused(ui, tree):
    wait_ready(ui)
    before = files_of(tree)
    big = '{"action":"delete","groups":[' + ",".join(['{"group":0,"keep":[0]}'] * 250000) + "]}"
    assert len(big) > 4 << 20
    assert_refused(post(ui, "/api/apply", big), 413)
    assert files_of(tree) == before
    assert request(ui, "GET", "/api/state")[0] == 200


def test_it_listens_on_the_loopback_interface_only(ui):
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.connect(("192.0.2.1", 9))  # no packet is sent: this only picks the outward address
        address = probe.getsockname()[0]
    except OSError:
        address = None
    finally:
        probe.close()
    if not address or address.startswith("127."):
        pytest.skip("this machine has no address besides the loopback one")
    with pytest.raises(OSError):
        socket.create_connection((address, ui.port), timeout=5).close()


def test_it_answers_on_the_ipv6_loopback_too(ui):
    try:
        conn = socket.create_connection(("::1", ui.port), timeout=5)
    except OSError:
        pytest.skip("no IPv6 loopback here")
    conn.sendall(f"GET /api/state HTTP/1.1\r\nHost: [::1]:{ui.port}\r\nCookie: {ui.cookie}\r\n"
                 "Connection: close\r\n\r\n".encode())
    assert conn.recv(100).startswith(b"HTTP/1.1 200")
    conn.close()


def test_many_pages_at_once_and_idle_connections_do_not_stop_it(ui):
    wait_ready(ui)
    idle = [socket.create_connection(("127.0.0.1", ui.port)) for _ in range(20)]
    results = []

    def page():
        for path in ("/", "/app.js", "/style.css", "/api/groups", "/api/state?page=p"):
            results.append(request(ui, "GET", path)[0])

    threads = [threading.Thread(target=page) for _ in range(30)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    for s in idle:
        s.close()
    assert results == [200] * 150


def test_the_figures(ui):
    """Prints how many requests the suite sent and how many were refused."""
    print(f"\nrequests that must be refused: {TRIED['sent']}, refused with a 4xx: {TRIED['refused']}")
    assert TRIED["refused"] == TRIED["sent"] > 0
