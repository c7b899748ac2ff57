#!/usr/bin/env python3
"""The update check's HTTP client against local servers (127.0.0.1 only).

updates.json beside a copy of PROGRAM lists a 404, a closed port, a server
that never answers (under Wine it hangs up after 15 s: WinHttpReceiveResponse
waits for headers without the receive timeout), a 2 MiB manifest, one
announcing 0.3.0, and an address that must not be asked. With --wine
PROGRAM is Kaptora.exe under Wine, which checks after its real 30 s delay
through the same client and logs to engine.log; `stop` ends it.

usage: update_http_test.py [--wine] PROGRAM VERSION
"""
import glob, http.server, json, os, shutil, socket, subprocess, sys, tempfile, threading, time

requests, lock = [], threading.Lock()  # (server, path, user agent)


def seen(server, path, agent):
    with lock:
        requests.append((server, path, agent))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    big = b'{"version":"9.0.0","pad":"' + b"x" * (2 << 20) + b'"}'

    def do_GET(self):
        seen("http", self.path, self.headers.get("User-Agent"))
        body = self.big if self.path == "/big" else b"nothing here" if self.path == "/missing" else \
            json.dumps({"version": "0.3.0", "notes": "Faster saves", "extra": 1}).encode()
        self.send_response(404 if self.path == "/missing" else 200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
        except OSError:
            pass  # the client stops reading at 1 MiB

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # resets from the client that stopped reading


def start_silent(close_after):
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(60)

    def serve():
        conn, _ = listener.accept()
        conn.settimeout(10)
        data = b""
        while b"\r\n\r\n" not in data and (chunk := conn.recv(4096)):
            data += chunk
        head = data.decode("latin-1").split("\r\n")
        agents = [l.split(":", 1)[1].strip() for l in head if l.lower().startswith("user-agent:")]
        seen("silent", head[0].split(" ")[1], agents[0] if agents else None)
        time.sleep(close_after)
        conn.close()

    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def wine_engine_log():
    found = glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "*", "AppData", "Local",
                                   "Kaptora", "logs", "engine.log"))
    return found[0] if found else None


def run_wine_engine(program, scratch, env):
    log = wine_engine_log()
    if log:
        os.remove(log)
    settings = os.path.join(scratch, "settings.json")
    with open(settings, "w") as f:
        json.dump({"audio": {"desktop": {"enabled": False}}, "general": {"language": "en"}}, f)

    def text():
        path = wine_engine_log()
        return open(path, "rb").read().decode("utf-8", "replace") if path else ""

    engine = subprocess.Popen(["wine", program, "--settings", "Z:" + settings.replace("/", "\\")], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and " update: latest is " not in text():
        time.sleep(0.2)
    subprocess.run(["wine", program, "stop"], env=env, timeout=60, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        code = engine.wait(timeout=60)
    except subprocess.TimeoutExpired:
        engine.kill()
        code = -1
    # In the probe's "[seconds] message" form, so one parser reads both.
    lines = ["[0] " + l.split(" ", 2)[2] for l in text().replace("\r\n", "\n").splitlines() if l.count(" ") >= 2]
    return subprocess.CompletedProcess(program, code, b"", "\n".join(lines).encode())


def main(argv):
    engine = "--wine" in argv
    probe, version = [a for a in argv if not a.startswith("--")]
    server = Server(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    with socket.create_server(("127.0.0.1", 0)) as s:
        closed = f"http://127.0.0.1:{s.getsockname()[1]}/closed"
    silent = f"http://127.0.0.1:{start_silent(15 if engine else 60)}/silent"
    urls = [f"{base}/missing", closed, silent, f"{base}/big", f"{base}/manifest", f"{base}/unasked"]

    scratch = tempfile.mkdtemp(prefix="kaptora-update-")
    try:
        copy = shutil.copy2(probe, scratch)
        with open(os.path.join(scratch, "updates.json"), "w") as f:
            json.dump({"manifestUrls": ["", 5] + urls, "comment": "local servers"}, f)
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        started = time.monotonic()
        if engine:
            p = run_wine_engine(copy, scratch, env)
        else:
            try:
                p = subprocess.run([copy], env=env, capture_output=True,
                                   stdin=subprocess.DEVNULL, timeout=60)
            except subprocess.TimeoutExpired as e:
                p = subprocess.CompletedProcess(copy, -1, e.stdout or b"", e.stderr or b"")
        elapsed = time.monotonic() - started - (30 if engine else 0)
    finally:
        server.shutdown()
        shutil.rmtree(scratch, ignore_errors=True)

    out, err = (t.decode("utf-8", "replace").replace("\r\n", "\n") for t in (p.stdout, p.stderr))
    checks = [
        ("exit code", p.returncode, 0),
        ("log lines", [l.split("] ", 1)[1] for l in err.splitlines() if "] update: " in l],
         [f"update: {base}/missing is not protected by TLS", f"update: {base}/missing answered 404",
          f"update: {closed} is not protected by TLS", f"update: {closed} unreachable",
          f"update: {silent} is not protected by TLS", f"update: {silent} unreachable",
          f"update: {base}/big is not protected by TLS", f"update: {base}/big is not a valid manifest",
          f"update: {base}/manifest is not protected by TLS", f"update: latest is 0.3.0 (this is {version})"]),
        ("output", [l.split("] ", 1)[1] for l in err.splitlines() if "] notification: " in l], []) if engine
        else ("output", out, f"urls {len(urls)}\nupdate 0.3.0|Faster saves\n"),
        ("requests", [(s, p) for s, p, _ in requests],
         [("http", "/missing"), ("silent", "/silent"), ("http", "/big"), ("http", "/manifest")]),
        ("user agents", {a for _, _, a in requests}, {f"Kaptora/{version}"}),
        ("bounded by the timeouts", elapsed < 40, True),
    ]
    failed = [c for c in checks if c[1] != c[2]]
    for name, got, want in failed:
        print(f"FAIL {name}: got {got!r}, want {want!r}")
    print(f"update check took {elapsed:.1f} s; {len(checks) - len(failed)} passed, {len(failed)} failed")
    if failed:
        print(err)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
