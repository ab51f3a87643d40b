"""What the browser drivers share: the test page's web server, the phases
run in the pages, the extension's windows answered as the page planned
(mouse or keyboard, axe-core, screenshots), the agents and windows counted,
the report, and ending every process a browser started."""

import argparse
import functools
import http.server
import json
import os
import signal
import subprocess
import sys
import threading
import time


class Watch:
    """What the pages may ask the test about the browser: the agents it
    started (from the agents' log) and ran at once (sampled from /proc), and
    the extension's windows seen and open at once. Served as /watch."""

    def __init__(self, agent_log):
        self.agent_log = agent_log
        self.session = None
        self.lock = threading.Lock()
        self.agents_peak = 0
        self.windows_seen = set()
        self.windows_peak = 0
        self.stop = threading.Event()
        self.sampling = threading.Event()
        threading.Thread(target=self._sample, daemon=True).start()

    def agents_now(self):
        """The agents running in the browser's session now."""
        n = 0
        for entry in os.scandir("/proc"):
            if not entry.name.isdigit():
                continue
            try:
                with open(f"/proc/{entry.name}/comm") as f:
                    if f.read() != "tolvex_agent\n":
                        continue
                with open(f"/proc/{entry.name}/stat") as f:
                    stat = f.read()
                fields = stat[stat.rindex(")") + 2:].split()
                n += fields[0] != "Z" and int(fields[3]) == self.session
            except (OSError, ValueError):
                pass
        return n

    def _sample(self):
        # Only while a page counts (between /watch?start and /watch):
        # scanning /proc costs a core's share.
        while not self.stop.wait(0.003):
            if not self.sampling.is_set():
                self.sampling.wait(0.1)
                continue
            n = self.agents_now()
            with self.lock:
                self.agents_peak = max(self.agents_peak, n)

    def windows(self, open_now):
        with self.lock:
            self.windows_seen.update(open_now)
            self.windows_peak = max(self.windows_peak, len(open_now))

    def start(self):
        with self.lock:
            self.agents_peak = 0
            self.windows_peak = 0
        self.sampling.set()

    def report(self):
        self.sampling.clear()
        started, commands = 0, []
        if os.path.exists(self.agent_log):
            for line in open(self.agent_log, encoding="utf-8", errors="replace"):
                if "agente iniciado" in line:
                    started += 1
                elif " command=" in line:
                    commands.append(line.split(" command=", 1)[1].split(" code=")[0].strip())
        with self.lock:
            return {"agents_started": started, "commands": commands, "agents_peak": self.agents_peak,
                    "windows_seen": len(self.windows_seen), "windows_peak": self.windows_peak}


class Quiet(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".js": "text/javascript"}

    def __init__(self, *args, watch=None, **kwargs):
        self.watch = watch
        super().__init__(*args, **kwargs)

    def do_GET(self):
        if not self.path.startswith("/watch"):
            return super().do_GET()
        report = self.watch.report()
        if self.path.startswith("/watch?start"):
            self.watch.start()
        body = json.dumps(report).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def serve(www, watch):
    """Serves `www` on 127.0.0.1 from a thread; returns (server, port)."""
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=www, watch=watch))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, server.server_address[1]


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


def run_phases(args, browser, watch, port, checks, timings, metrics):
    """The phases every browser goes through, in the pages that `browser`
    has open."""
    fixture = json.dumps({**json.load(open(args.fixture)), "browser": browser.name.lower(),
                          "keyboard": browser.keyboard})

    def run(phase):
        t0 = time.monotonic()
        browser.evaluate_page(f"window.startPhase({json.dumps(phase)}, {fixture})", 10)
        deadline = t0 + 120
        while True:
            outcome = browser.evaluate_page("window.phaseOutcome()", 10)
            if outcome is not None:
                break
            if time.monotonic() > deadline:
                raise TimeoutError(f"phase {phase} did not end")
            windows = browser.consent_windows()
            watch.windows(windows)
            for window in windows:
                if window not in browser.answered:
                    browser.answered.add(window)
                    answer_window(browser, window, watch)
            time.sleep(0.05)
        result = json.loads(outcome)
        checks.extend(result["checks"])
        metrics.extend(result["metrics"])
        timings.append(f"{phase} {time.monotonic() - t0:.2f} s")

    def page(url):
        browser.navigate(url)
        deadline = time.monotonic() + 20
        ready = f"location.href === {json.dumps(url)} && typeof window.startPhase === 'function'"
        while True:
            try:
                if browser.evaluate_page(ready, 10):
                    break
            except RuntimeError:
                pass  # the old document went away under the call
            if time.monotonic() > deadline:
                raise TimeoutError(f"{url} did not load")
            time.sleep(0.05)

    browser.install(args.agent, None)
    # The page's own site, then an attacker on another origin (the
    # extension's development copy serves both).
    if "main" in args.phases:
        page(f"http://127.0.0.1:{port}/index.html")
        run("main")
    page(f"http://localhost:{port}/attacker.html")
    for phase in ("probe", "confusion", "flood", "window"):
        if phase in args.phases:
            run(phase)
    if "hosts" not in args.phases:
        return
    page(f"http://127.0.0.1:{port}/index.html")
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


FACTS = """JSON.stringify((() => {
  const pin = document.getElementById('pin');
  const shown = performance.getEntriesByName('tolvex-consent-shown')[0];
  return {text: document.body.innerText, state: document.body.dataset.state,
          focus: document.activeElement && (document.activeElement.id || document.activeElement.tagName),
          invalid: pin.getAttribute('aria-invalid'), describedby: pin.getAttribute('aria-describedby'),
          armed: !document.getElementById('allow').disabled,
          shownAt: shown ? performance.timeOrigin + shown.startTime : null};
})())"""


def window_state(browser, window, wanted, timeout=15):
    """Waits until the consent window's body says it is in one of the
    `wanted` states."""
    deadline = time.monotonic() + timeout
    while True:
        state = browser.evaluate_window(window, "document.body && document.body.dataset.state")
        if state in wanted:
            return
        if time.monotonic() > deadline:
            raise TimeoutError(f"the extension's window stayed in state {state!r}")
        time.sleep(0.02)


def wait_armed(browser, window, timeout=10):
    """Waits until the default button acts (the window has been visible and
    focused for a while)."""
    deadline = time.monotonic() + timeout
    while not browser.evaluate_window(window, "!document.getElementById('allow').disabled"):
        if time.monotonic() > deadline:
            raise TimeoutError("the window's default button never became active")
        time.sleep(0.02)


def run_axe(browser, window):
    """axe-core's violations in the window, as [{id, impact, nodes}]."""
    if not getattr(browser, "axe_loaded", None):
        browser.axe_source = open(os.environ["TOLVEX_AXE"], encoding="utf-8").read()
        browser.axe_loaded = set()
    if window not in browser.axe_loaded:
        browser.evaluate_window(window, browser.axe_source + ";true")
        browser.axe_loaded.add(window)
    return json.loads(browser.evaluate_window(
        window, "axe.run(document, {resultTypes: ['violations']}).then((r) => JSON.stringify("
                "r.violations.map((v) => ({id: v.id, impact: v.impact, nodes: v.nodes.length}))))"))


def answer_window(browser, window, watch):
    """Does in one of the extension's windows what the page planned for it,
    step by step: wait for its state (the first step: ready; later: an
    error; or "none"), note what it shows (and axe-core's findings, a
    screenshot), type the PIN, then click a button or press keys, waiting
    until the default button acts unless the step is "early". Reports what
    each step saw to the page. A window nobody planned for is refused."""
    plan = json.loads(browser.evaluate_page("window.takeConsentPlan()", 10))
    steps = plan["steps"] if plan else [{"click": "deny"}]
    seen = []
    for i, step in enumerate(steps):
        wait = step.get("wait", "ready" if i == 0 else "error")
        if wait != "none":
            window_state(browser, window, ("ready", "error") if wait == "ready" else ("error",))
        watch.windows(browser.consent_windows())
        facts = json.loads(browser.evaluate_window(window, FACTS))
        if step.get("axe"):
            facts["axe"] = run_axe(browser, window)
        shots = os.environ.get("TOLVEX_E2E_SHOTS")
        if shots and step.get("shot"):
            name = step["shot"] + ("" if browser.name == "Chromium" else "-" + browser.name.lower())
            browser.screenshot(window, os.path.join(shots, name + ".png"))
            if step.get("zoom"):
                browser.screenshot(window, os.path.join(shots, name + "-200.png"), zoom=2)
        if "pin" in step:
            browser.evaluate_window(window, f"document.getElementById('pin').value = {json.dumps(step['pin'])}")
        last = i == len(steps) - 1
        if not step.get("early") and (step.get("click") == "allow" or "Enter" in step.get("keys", [])):
            wait_armed(browser, window)
        if "keys" in step:
            for key in step["keys"]:
                browser.press(window, key)
        elif last:
            # Pressed after the call returns: the extension may close the
            # window at once, and a call into a closing window may never
            # return.
            browser.evaluate_window(
                window, f"setTimeout(() => document.getElementById({json.dumps(step['click'])}).click()), true")
        else:
            # At once, so the window is busy before the next step looks.
            browser.evaluate_window(window, f"document.getElementById({json.dumps(step['click'])}).click(), true")
        if step.get("early"):
            time.sleep(0.3)
            facts["after"] = json.loads(browser.evaluate_window(window, FACTS))
        seen.append(facts)
    record = json.dumps({"seen": seen})
    browser.evaluate_page(f"window.consentSeen({json.dumps(plan['id']) if plan else 'null'}, {record})", 10)


def drive(args, browser):
    """Serves the test pages, has `browser` start and open them, runs the
    phases, ends every process and reports. A browser offers: name,
    keyboard (whether it can press keys), log, answered (windows handled),
    start(checks), navigate(url), evaluate_page(expression, timeout) giving
    the value of an expression (a string, number, boolean or null),
    consent_windows() listing the extension's windows now open,
    evaluate_window(window, expression), press(window, key) and
    screenshot(window, path, zoom) in one of them, install(agent, caller)
    registering `agent` for the extension (caller None) or for another one
    ("other"), uninstall(), the session id of its processes, and close()
    giving True when nothing it started is left."""
    watch = Watch(os.path.join(args.work, "agent.log"))
    server, port = serve(args.www, watch)
    checks = []
    timings = []
    metrics = []
    started = time.monotonic()
    try:
        browser.start(checks)
        watch.session = browser.proc.pid
        timings.append(f"browser and extension ready {time.monotonic() - started:.2f} s")
        run_phases(args, browser, watch, port, checks, timings, metrics)
    except Exception as e:  # reported below, after the processes are gone
        checks.append({"name": "driver", "ok": False, "detail": f"{type(e).__name__}: {e}"})
    finally:
        watch.stop.set()
        clean = browser.close()
        server.shutdown()
        server.server_close()
    checks.append({"name": "every process started by the test has ended", "ok": clean})
    return report(browser.name, checks, timings, metrics, started, browser.log)


def report(browser, checks, timings, metrics, started, log):
    failed = [c for c in checks if not c.get("ok")]
    for c in checks:
        mark = "ok  " if c.get("ok") else "FAIL"
        detail = f" ({c['detail']})" if c.get("detail") and not c.get("ok") else ""
        print(f"  {mark} {c['name']}{detail}")
    for m in metrics:
        print(f"  measured: {m}")
    print(f"e2e: {browser}: {len(checks) - len(failed)}/{len(checks)} checks passed in "
          f"{time.monotonic() - started:.2f} s ({'; '.join(timings)})")
    if failed:
        print(f"e2e: browser log in {log}", file=sys.stderr)
    return 1 if failed else 0


def arguments(extra):
    """The command line both drivers take."""
    p = argparse.ArgumentParser()
    for name in ("work", "www", "extension", "ctl", "agent", "refusing_agent", "fixture", *extra):
        p.add_argument("--" + name.replace("_", "-"), dest=name, required=True)
    p.add_argument("--phases", default="main,probe,confusion,flood,window,hosts",
                   type=lambda text: set(text.split(",")))
    return p.parse_args()
