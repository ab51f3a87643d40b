"""What the browser drivers share: the test page's web server, the phases
run in the page, the report, and ending every process a browser started."""

import functools
import http.server
import json
import os
import signal
import subprocess
import sys
import threading
import time


class Quiet(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".js": "text/javascript"}

    def log_message(self, *args):
        pass


def serve(www):
    """Serves `www` on 127.0.0.1 from a thread; returns (server, base URL)."""
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=www))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}"


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


def end_session(proc):
    """After the browser was asked to close: waits for it, then sends what is
    left of its session SIGTERM, and SIGKILL after a second; gives the kernel
    up to five seconds to take it all down. True when nothing is left."""
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass
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


def run_phases(args, browser, checks, timings):
    """The phases every browser goes through, in the page that `browser`
    has open."""
    fixture = json.dumps({**json.load(open(args.fixture)), "browser": browser.name.lower()})

    def run(phase):
        t0 = time.monotonic()
        expression = f"window.runPhase({json.dumps(phase)}, {fixture}).then(JSON.stringify)"
        checks.extend(json.loads(browser.evaluate_page(expression, 90)))
        timings.append(f"{phase} {time.monotonic() - t0:.2f} s")

    browser.install(args.agent, None)
    run("main")
    # The same host name now starts an agent that allows other extensions
    # only: the agent must refuse and end with status 2.
    status_file = os.path.join(args.work, "refused.status")
    if os.path.exists(status_file):
        os.remove(status_file)
    browser.install(args.refusing_agent, None)
    run("refused")
    statuses = open(status_file).read().split() if os.path.exists(status_file) else []
    checks.append({"name": "the agent itself refused the caller (exit status 2)",
                   "ok": statuses[:1] == ["2"], "detail": f"statuses {statuses}"})
    # A manifest that lists another extension only.
    browser.install(args.agent, "other")
    run("forbidden")
    browser.uninstall()
    run("unregistered")


def drive(args, browser):
    """Serves the test page, has `browser` start and open it, runs the
    phases, ends every process and reports. A browser offers: name, log,
    start(url, checks), evaluate_page(expression, timeout) giving the value
    of a JSON-able expression, install(agent, caller) registering `agent`
    for the extension (caller None) or for another one ("other"),
    uninstall(), and close() giving True when nothing it started is left."""
    server, base = serve(args.www)
    checks = []
    timings = []
    started = time.monotonic()
    try:
        browser.start(base + "/index.html", checks)
        deadline = time.monotonic() + 20
        while not browser.evaluate_page("typeof window.runPhase === 'function'", 10):
            if time.monotonic() > deadline:
                raise TimeoutError("the test page did not load")
            time.sleep(0.05)
        timings.append(f"browser and extension ready {time.monotonic() - started:.2f} s")
        run_phases(args, browser, checks, timings)
    except Exception as e:  # reported below, after the processes are gone
        checks.append({"name": "driver", "ok": False, "detail": f"{type(e).__name__}: {e}"})
    finally:
        clean = browser.close()
        server.shutdown()
        server.server_close()
    checks.append({"name": "every process started by the test has ended", "ok": clean})
    return report(browser.name, checks, timings, started, browser.log)


def report(browser, checks, timings, started, log):
    failed = [c for c in checks if not c.get("ok")]
    for c in checks:
        mark = "ok  " if c.get("ok") else "FAIL"
        detail = f" ({c['detail']})" if c.get("detail") and not c.get("ok") else ""
        print(f"  {mark} {c['name']}{detail}")
    print(f"e2e: {browser}: {len(checks) - len(failed)}/{len(checks)} checks passed in "
          f"{time.monotonic() - started:.2f} s ({'; '.join(timings)})")
    if failed:
        print(f"e2e: browser log in {log}", file=sys.stderr)
    return 1 if failed else 0
