#!/usr/bin/env python3
"""The update check's HTTP client against local servers.

A copy of the probe program sits in a scratch folder beside an updates.json
whose addresses come in the order: a 404, a closed port, a server that
accepts and never answers, a 2 MiB manifest (which would announce 9.0.0 if it
were read whole), a manifest announcing 0.3.0, and one more address that must
not be asked. Every log line of the check, the result, the requests each
server saw and the user agent they carried are checked. Servers listen on
127.0.0.1 only and end with the test.

usage: update_http_test.py [--wine] PROBE VERSION
"""
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

BIG = 2 * 1024 * 1024
# The silent server costs the receive timeout (10 s); the rest is quick.
RUN_TIMEOUT = 60
# Wine 8's WinHttpReceiveResponse waits for the headers without the receive
# timeout (only WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, unset and unbounded
# there, would end it), so under Wine the silent server hangs up after longer
# than the 10 s Windows waits; the client reports the same "unreachable".
WINE_SILENT_CLOSE = 15


class Recorder:
    def __init__(self):
        self.lock = threading.Lock()
        self.requests = []  # (server, path, user agent)

    def add(self, server, path, agent):
        with self.lock:
            self.requests.append((server, path, agent))


def big_manifest():
    head = b'{"version":"9.0.0","pad":"'
    return head + b"x" * (BIG - len(head) - 2) + b'"}'


def start_http(recorder):
    big = big_manifest()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            recorder.add("http", self.path, self.headers.get("User-Agent"))
            if self.path == "/big":
                self.reply(200, big)
            elif self.path in ("/manifest", "/unasked"):
                self.reply(200, json.dumps({"version": "0.3.0", "notes": "Faster saves", "extra": 1}).encode())
            else:
                self.reply(404, b"not here")

        def reply(self, status, body):
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            try:
                self.wfile.write(body)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the client stops reading at 1 MiB

        def log_message(self, *args):
            pass

    class Server(http.server.ThreadingHTTPServer):
        def handle_error(self, request, client_address):
            pass  # a client that stopped reading resets the connection

    server = Server(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def start_silent(recorder, stop, close_after):
    """Accepts, reads the request and never answers; with `close_after`, closes
    each connection that many seconds after accepting it."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    listener.settimeout(0.5)
    held = []

    def serve():
        while not stop.is_set():
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                continue
            held.append(conn)
            conn.settimeout(5)
            data = b""
            try:
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(4096)
                    if not chunk:
                        break
                    data += chunk
            except OSError:
                pass
            agent = None
            for line in data.decode("latin-1").split("\r\n")[1:]:
                if line.lower().startswith("user-agent:"):
                    agent = line.split(":", 1)[1].strip()
            recorder.add("silent", data.split(b" ")[1].decode() if b" " in data else "", agent)
            if close_after:
                threading.Timer(close_after, conn.close).start()
        for conn in held:
            conn.close()
        listener.close()

    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def closed_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def main(argv):
    wine = "--wine" in argv
    argv = [a for a in argv if a != "--wine"]
    probe, version = argv
    failures = []

    def expect(ok, what):
        if not ok:
            failures.append(what)
            print("FAIL:", what)

    recorder = Recorder()
    stop = threading.Event()
    http_server = start_http(recorder)
    port = http_server.server_address[1]
    silent = start_silent(recorder, stop, WINE_SILENT_CLOSE if wine else None)
    closed = closed_port()
    base = f"http://127.0.0.1:{port}"
    urls = [f"{base}/missing", f"http://127.0.0.1:{closed}/closed", f"http://127.0.0.1:{silent}/silent",
            f"{base}/big", f"{base}/manifest", f"{base}/unasked"]

    scratch = tempfile.mkdtemp(prefix="kaptora-update-")
    try:
        copy = os.path.join(scratch, os.path.basename(probe))
        shutil.copy2(probe, copy)
        with open(os.path.join(scratch, "updates.json"), "w") as f:
            json.dump({"manifestUrls": ["", 5] + urls, "comment": "local test servers"}, f)
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        command = ["wine", copy] if wine else [copy]
        started = time.monotonic()
        try:
            p = subprocess.run(command, env=env, capture_output=True, stdin=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired as e:
            p = subprocess.CompletedProcess(command, -1, e.stdout or b"", e.stderr or b"")
        elapsed = time.monotonic() - started
    finally:
        stop.set()
        http_server.shutdown()
        http_server.server_close()
        shutil.rmtree(scratch, ignore_errors=True)

    out = p.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    err = p.stderr.decode("utf-8", "replace").replace("\r\n", "\n")
    lines = [l.split("] ", 1)[1] for l in err.splitlines() if l.startswith("[") and "] update: " in l]
    expected = [
        f"update: {base}/missing answered 404",
        f"update: http://127.0.0.1:{closed}/closed unreachable",
        f"update: http://127.0.0.1:{silent}/silent unreachable",
        f"update: {base}/big is not a valid manifest",
        f"update: latest is 0.3.0 (this is {version})",
    ]
    expect(p.returncode == 0, f"exit code {p.returncode}")
    expect(lines == expected, f"log lines {lines}")
    expect(out == f"urls {len(urls)}\nupdate 0.3.0|Faster saves\n", f"output {out!r}")
    with recorder.lock:
        requests = list(recorder.requests)
    seen = [(server, path) for server, path, _ in requests]
    expect(seen == [("http", "/missing"), ("silent", "/silent"), ("http", "/big"), ("http", "/manifest")],
           f"requests {seen}")
    agents = {agent for _, _, agent in requests}
    expect(agents == {f"Kaptora/{version}"}, f"user agents {agents}")
    # The silent server holds the check for the receive timeout, no longer.
    expect(elapsed < 40, f"took {elapsed:.1f} s")
    print(f"update check took {elapsed:.1f} s")
    if failures:
        print(err)
        return 1
    print("update_http_test: all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
