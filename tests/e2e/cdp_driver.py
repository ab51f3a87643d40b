#!/usr/bin/env python3
"""Runs the browser end-to-end checks in headless Chromium.

Serves the test page on 127.0.0.1 (a thread of this process), starts
Chromium with the sample extension and --remote-debugging-pipe, and drives it
with a minimal DevTools protocol client: waits for the extension's service
worker, opens the page, runs its check phases with Runtime.evaluate and swaps
the host manifest between phases with tolvexctl. Every process it starts is
ended before it returns. Exit status 0 when every check passed.
"""

import argparse
import fcntl
import functools
import http.server
import json
import os
import select
import signal
import subprocess
import sys
import threading
import time

CHROMIUM = "/usr/lib/chromium/chromium"


class Quiet(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".js": "text/javascript"}

    def log_message(self, *args):
        pass


class Cdp:
    """DevTools protocol over the pipe: NUL-terminated JSON both ways."""

    def __init__(self, write_fd, read_fd):
        self.write_fd = write_fd
        self.read_fd = read_fd
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no message from the browser")
            ready, _, _ = select.select([self.read_fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(self.read_fd, 1 << 16)
            if not chunk:
                raise EOFError("the browser closed the DevTools pipe")
            self.buffer += chunk
        raw, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(raw)

    def send(self, method, params=None, session=None, timeout=30.0):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        data = json.dumps(msg).encode() + b"\0"
        while data:
            data = data[os.write(self.write_fd, data):]
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_event(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while True:
            for i, ev in enumerate(self.events):
                if predicate(ev):
                    return self.events.pop(i)
            self.events.append(self._read_message(deadline))


def start_browser(args, env):
    # Chromium reads commands on fd 3 and writes on fd 4.
    to_browser_r, to_browser_w = os.pipe()
    from_browser_r, from_browser_w = os.pipe()

    def child_fds():
        # Copies above 10 first, so placing one cannot overwrite the other.
        r = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD, 10)
        w = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD, 10)
        os.dup2(r, 3)
        os.dup2(w, 4)

    cmd = [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
           "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
           f"--user-data-dir={args.udd}", "--remote-debugging-pipe",
           f"--load-extension={args.extension}",
           f"--disable-extensions-except={args.extension}", "about:blank"]
    log = open(os.path.join(args.work, "chromium.log"), "wb")
    proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                            preexec_fn=child_fds, close_fds=False,
                            start_new_session=True)
    os.close(to_browser_r)
    os.close(from_browser_w)
    return proc, Cdp(to_browser_w, from_browser_r)


def session_members(sid):
    """Pids of the live processes in session `sid`: the browser, its helpers
    and the native hosts it started. Zombies are left out; their parent
    reaps them."""
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                stat = f.read()
            fields = stat[stat.rindex(")") + 2:].split()
            if fields[0] != "Z" and int(fields[3]) == sid:  # state; field 6: session id
                pids.append(int(name))
        except (OSError, ValueError):
            pass
    return pids


def stop_browser(proc, cdp):
    try:
        cdp.send("Browser.close", timeout=5)
    except Exception:
        pass
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass
    # Whatever is left of the session gets SIGTERM, then SIGKILL after a
    # second; give the kernel up to five seconds to take it all down.
    deadline = time.monotonic() + 5
    first = time.monotonic()
    while True:
        members = session_members(proc.pid)
        if not members or time.monotonic() > deadline:
            break
        sig = signal.SIGTERM if time.monotonic() - first < 1 else signal.SIGKILL
        for pid in members:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        time.sleep(0.1)
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    left = session_members(proc.pid)
    if left:
        print(f"e2e: processes left behind: {left}", file=sys.stderr)
        return False
    return True


def evaluate(cdp, session, expression, timeout=30):
    result = cdp.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                           "returnByValue": True}, session=session,
                      timeout=timeout)
    if "exceptionDetails" in result:
        details = result["exceptionDetails"]
        text = details.get("exception", {}).get("description") or details.get("text")
        raise RuntimeError(f"page exception: {text}")
    return result["result"].get("value")


def ctl(args, *extra):
    subprocess.run([args.ctl, *extra, "--browser", "chromium",
                    "--dir", os.path.join(args.udd, "NativeMessagingHosts")],
                   check=True, stdout=subprocess.DEVNULL)


def main():
    p = argparse.ArgumentParser()
    for name in ("work", "www", "extension", "udd", "ctl", "agent", "refusing_agent",
                 "fixture", "extension_id"):
        p.add_argument("--" + name.replace("_", "-"), dest=name, required=True)
    args = p.parse_args()

    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=args.www))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}"

    checks = []
    timings = []
    started = time.monotonic()
    proc, cdp = start_browser(args, os.environ.copy())
    try:
        cdp.send("Target.setDiscoverTargets", {"discover": True})
        worker_url = f"chrome-extension://{args.extension_id}/"
        try:
            cdp.wait_event(lambda ev: ev.get("method") in ("Target.targetCreated",
                                                           "Target.targetInfoChanged")
                           and ev["params"]["targetInfo"]["type"] == "service_worker"
                           and ev["params"]["targetInfo"]["url"].startswith(worker_url), 20)
            checks.append({"name": "extension loaded with its fixed ID", "ok": True})
        except TimeoutError:
            checks.append({"name": "extension loaded with its fixed ID", "ok": False,
                           "detail": f"no service worker at {worker_url}"})
            raise

        target = cdp.send("Target.createTarget", {"url": base + "/index.html"})["targetId"]
        session = cdp.send("Target.attachToTarget", {"targetId": target,
                                                     "flatten": True})["sessionId"]
        deadline = time.monotonic() + 20
        while not evaluate(cdp, session, "typeof window.runPhase === 'function'"):
            if time.monotonic() > deadline:
                raise TimeoutError("the test page did not load")
            time.sleep(0.05)

        fixture = json.dumps(json.load(open(args.fixture)))

        def run(phase):
            t0 = time.monotonic()
            checks.extend(
                evaluate(cdp, session, f"window.runPhase({json.dumps(phase)}, {fixture})", 90))
            timings.append(f"{phase} {time.monotonic() - t0:.2f} s")

        timings.append(f"browser and extension ready {time.monotonic() - started:.2f} s")

        run("main")
        # The same host name now starts an agent that allows another
        # extension only: the agent must refuse and end with status 2.
        ctl(args, "install", "--agent", args.refusing_agent, "--extension-id", args.extension_id)
        run("refused")
        status_file = os.path.join(args.work, "refused.status")
        statuses = open(status_file).read().split() if os.path.exists(status_file) else []
        checks.append({"name": "the agent itself refused the origin (exit status 2)",
                       "ok": statuses[:1] == ["2"], "detail": f"statuses {statuses}"})
        # A manifest that lists another extension only.
        ctl(args, "install", "--agent", args.agent,
            "--extension-id", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")
        run("forbidden")
        ctl(args, "uninstall")
        run("unregistered")
    except Exception as e:  # reported below, after the processes are gone
        checks.append({"name": "driver", "ok": False, "detail": f"{type(e).__name__}: {e}"})
    finally:
        clean = stop_browser(proc, cdp)
        server.shutdown()
        server.server_close()
    checks.append({"name": "every process started by the test has ended", "ok": clean})

    failed = [c for c in checks if not c.get("ok")]
    for c in checks:
        mark = "ok  " if c.get("ok") else "FAIL"
        detail = f" ({c['detail']})" if c.get("detail") and not c.get("ok") else ""
        print(f"  {mark} {c['name']}{detail}")
    print(f"e2e: {len(checks) - len(failed)}/{len(checks)} checks passed in "
          f"{time.monotonic() - started:.2f} s ({'; '.join(timings)})")
    if failed:
        log = os.path.join(args.work, "chromium.log")
        print(f"e2e: browser log in {log}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
