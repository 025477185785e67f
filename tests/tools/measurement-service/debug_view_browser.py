#!/usr/bin/env python3
"""The debug view in a real browser: headless Chromium, driven over its remote-debugging
pipe, opens the page of a running measurement service; batches are posted while it is
open; the page's DOM must show them live, bounded, marked and filtered. A screenshot of
the page is saved.

Usage: debug_view_browser.py SERVICE INSPECT WORKDIR
"""
import gzip
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import urllib.request

SERVICE, INSPECT, WORK = sys.argv[1:4]
APP, OTHER_APP, LOAD_APP = "1:111:ios:aaa", "1:222:ios:bbb", "1:333:ios:load"
LOAD_BATCHES, LOAD_EVENTS = 10, 1000  # 10 000 events


def fail(message):
    raise SystemExit("FAIL: " + message)


def wait_for(what, probe, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = probe()
        if value:
            return value
        time.sleep(0.1)
    fail("timed out waiting for " + what)


def encode_batch(document, name, gzipped=False):
    path = os.path.join(WORK, name)
    args = [INSPECT, "encode", "batch", "-", "-o", path] + (["--gzip"] if gzipped else [])
    subprocess.run(args, input=json.dumps(document).encode(), check=True)
    with open(path, "rb") as f:
        return f.read()


def post(url, body, gzipped=False):
    request = urllib.request.Request(url + "/a", data=body, method="POST",
                                     headers={"Content-Type": "application/x-protobuf"})
    if gzipped:
        request.add_header("Content-Encoding", "gzip")
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status
    except urllib.error.HTTPError as error:
        return error.code


class Browser:
    """Chromium's DevTools protocol over --remote-debugging-pipe: JSON messages ended by NUL."""

    def __init__(self, log):
        to_chrome = os.pipe()
        from_chrome = os.pipe()
        actions = [(os.POSIX_SPAWN_DUP2, to_chrome[0], 3), (os.POSIX_SPAWN_DUP2, from_chrome[1], 4),
                   (os.POSIX_SPAWN_OPEN, 1, log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
                   (os.POSIX_SPAWN_DUP2, 1, 2)]
        args = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--no-first-run", "--remote-debugging-pipe", "--window-size=1280,860",
                "--user-data-dir=" + os.path.join(WORK, "chromium-profile"), "about:blank"]
        self.pid = os.posix_spawnp("chromium", args, os.environ, file_actions=actions)
        os.close(to_chrome[0])
        os.close(from_chrome[1])
        self.out, self.inp = to_chrome[1], from_chrome[0]
        self.buffer = b""
        self.next_id = 0
        self.session = None

    def call(self, method, params=None, session=True, timeout=20):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.out, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            while b"\0" not in self.buffer:
                chunk = os.read(self.inp, 1 << 20)
                if not chunk:
                    fail("chromium closed its pipe during " + method)
                self.buffer += chunk
            raw, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    fail(method + ": " + json.dumps(reply["error"]))
                return reply.get("result", {})
        fail("no answer to " + method)

    def open(self, url):
        targets = self.call("Target.getTargets", session=False)["targetInfos"]
        page = next(t for t in targets if t["type"] == "page")
        self.session = self.call("Target.attachToTarget", {"targetId": page["targetId"], "flatten": True},
                                 session=False)["sessionId"]
        self.call("Page.navigate", {"url": url})

    def eval(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            fail("script error: " + json.dumps(result["exceptionDetails"]))
        return result["result"].get("value")

    def screenshot(self, path):
        import base64
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            os.write(self.out, json.dumps({"id": 0, "method": "Browser.close"}).encode() + b"\0")
        except OSError:
            pass
        for _ in range(50):
            if os.waitpid(self.pid, os.WNOHANG)[0]:
                return
            time.sleep(0.1)
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)


# What the page shows, as the test reads it: every upload card with its visibility, its
# bundles' apps and its event rows.
READ_PAGE = """(() => Array.from(document.querySelectorAll('article.upload')).map(a => ({
  seq: Number(a.dataset.seq), hidden: a.hidden, refused: a.classList.contains('refused'),
  reason: (a.querySelector('.reason') || {}).textContent || '',
  apps: Array.from(a.querySelectorAll('section.bundle')).map(s => s.dataset.app),
  text: a.innerText,
  rows: Array.from(a.querySelectorAll('tr.event')).map(r => ({name: r.dataset.name, hidden: r.hidden,
    err: r.classList.contains('err'), text: r.innerText}))})))()"""


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(os.path.join(WORK, "configs"))
    with open(os.path.join(WORK, "configs", APP + ".json"), "w") as f:
        json.dump({"app_id": APP, "settings": [{"name": "measurement.upload.interval", "value": "60000"}]}, f)
    log = open(os.path.join(WORK, "service.log"), "w")
    service = subprocess.Popen([SERVICE, "--port", "0", "--config-dir", os.path.join(WORK, "configs")],
                               stdout=log, stderr=subprocess.STDOUT)
    browser = None
    try:
        def service_url():
            with open(os.path.join(WORK, "service.log")) as f:
                for line in f:
                    if line.startswith("listening on "):
                        return line.split()[-1]
            return None
        url = wait_for("the service", service_url)

        browser = Browser(os.path.join(WORK, "chromium.log"))
        browser.open(url + "/")
        wait_for("the page's live channel", lambda: browser.eval(
            "(document.getElementById('connection') || {}).className")
                 == "live")

        # 10 000 events while the page is open: it keeps a bounded number and says so.
        for n in range(LOAD_BATCHES):
            events = [{"name": "load_%d" % i, "timestamp": 1700000000000 + i,
                       "params": [{"name": "i", "int_value": i}]} for i in range(LOAD_EVENTS)]
            body = encode_batch({"bundles": [{"app_id": LOAD_APP, "bundle_sequence_index": n + 1, "events": events}]},
                                "load-%d.bin" % n)
            status = post(url, body)
            if status != 204:
                fail("load batch answered %s" % status)
        stats = wait_for("the load in view", lambda: (lambda s: s if s and int(s["received"]) >= LOAD_BATCHES
                                                      else None)(browser.eval(
            "({received: document.querySelectorAll('article.upload').length + "
            "Number(document.getElementById('stats').dataset.droppedUploads), "
            "dropped: Number(document.getElementById('stats').dataset.droppedEvents), "
            "rows: document.querySelectorAll('tr.event').length, text: document.getElementById('stats').textContent})")))
        if not (0 < stats["rows"] <= 2000) or stats["dropped"] < LOAD_BATCHES * LOAD_EVENTS - 2000:
            fail("the view is not bounded: %s" % stats)
        if "dropped from view" not in stats["text"]:
            fail("the page does not say what it dropped: " + stats["text"])

        # An app's batch (gzip), another app's, one that does not decode; and a
        # configuration request for the first app.
        first = {"bundles": [{
            "app_id": APP, "bundle_sequence_index": 3, "retry_count": 1, "consent_signals": "G111",
            "platform": "ios", "os_version": "17.2", "device_model": "iPhone15,2", "app_version": "2.4.0",
            "upload_timestamp": 1700000000500,
            "events": [
                {"name": "level_up", "timestamp": 1700000000123,
                 "params": [{"name": "level", "int_value": 5}, {"name": "character", "string_value": "mage"}]},
                {"name": "_err", "timestamp": 1700000000200,
                 "params": [{"name": "_ev", "string_value": "bad name"}, {"name": "_err", "int_value": 2}]}],
            "user_attributes": [{"name": "favorite_hero", "string_value": "mage", "set_timestamp": 1700000000000}],
            "audience_evaluation_results": [{"audience_id": 1, "new_audience": True,
                                             "current_data": {"results": [1], "status": [3]}}]}]}
        other = {"bundles": [{"app_id": OTHER_APP, "bundle_sequence_index": 1,
                              "events": [{"name": "other_app_event", "timestamp": 1700000000300}]}]}
        statuses = [post(url, encode_batch(first, "first.bin", True), gzipped=True),
                    post(url, encode_batch(other, "other.bin")), post(url, b"not a batch")]
        if statuses != [204, 204, 400]:
            fail("unexpected answers %s" % statuses)
        with urllib.request.urlopen(url + "/config/app/" + APP, timeout=10) as response:
            response.read()

        page = wait_for("the uploads on the page", lambda: (lambda p: p if len(p) >= 3 and p[0]["refused"] else None)(
            browser.eval(READ_PAGE)))
        refused, other_card, card = page[0], page[1], page[2]
        if "not a measurement batch" not in refused["reason"] or refused["hidden"]:
            fail("the undecodable batch is not shown as refused: %s" % refused)
        if card["apps"] != [APP] or card["refused"] or other_card["apps"] != [OTHER_APP]:
            fail("unexpected cards: %s" % page[:3])
        rows = {r["name"]: r for r in card["rows"]}
        level_up = rows.get("level_up")
        if not level_up or "level=5" not in level_up["text"] or 'character="mage"' not in level_up["text"]:
            fail("the event's parameters are not shown: %s" % card["rows"])
        if not rows.get("_err", {}).get("err"):
            fail("the _err event is not marked")
        for expected in ["bundle 3", "retry 1", "consent G111", "favorite_hero=\"mage\"", "1 new results=0x1 status=0x3"]:
            if expected not in card["text"]:
                fail("missing on the card: " + expected + " in " + card["text"])
        wait_for("the configuration served", lambda: "measurement.upload.interval" in browser.eval(
            "document.getElementById('config-list').textContent"))

        # The app filter hides the other app's upload; the event filter hides other events.
        browser.eval("(() => { const i = document.getElementById('app'); i.value = %s;"
                     " i.dispatchEvent(new Event('input')); })()" % json.dumps(APP))
        page = browser.eval(READ_PAGE)
        by_seq = {c["seq"]: c for c in page}
        if not by_seq[other_card["seq"]]["hidden"] or by_seq[card["seq"]]["hidden"]:
            fail("the app filter did not hide the other app's upload")
        if any(not c["hidden"] for c in page if c["apps"] == [LOAD_APP]):
            fail("the app filter did not hide the load")
        browser.eval("(() => { const i = document.getElementById('event'); i.value = 'level';"
                     " i.dispatchEvent(new Event('input')); })()")
        rows = {r["name"]: r for r in browser.eval(READ_PAGE)[2]["rows"]}
        if rows["level_up"]["hidden"] or not rows["_err"]["hidden"]:
            fail("the event filter did not apply")
        browser.eval("(() => { const i = document.getElementById('event'); i.value = '';"
                     " i.dispatchEvent(new Event('input')); document.getElementById('configs').open = true; })()")

        # Paused, the page holds new uploads back and shows them on resume.
        browser.eval("document.getElementById('pause').click()")
        if post(url, encode_batch(first, "again.bin")) != 204:
            fail("upload refused while paused")
        wait_for("the waiting count", lambda: "1 waiting" in browser.eval("document.getElementById('stats').textContent"))
        if browser.eval(READ_PAGE)[0]["seq"] != refused["seq"]:
            fail("a paused page showed a new upload")
        browser.eval("document.getElementById('pause').click()")
        wait_for("the held upload", lambda: browser.eval(READ_PAGE)[0]["seq"] > refused["seq"])

        screenshot = os.path.join(WORK, "debug-view.png")
        browser.screenshot(screenshot)
        print("screenshot:", screenshot)
        print("the debug view passed in the browser")
    finally:
        if browser:
            browser.close()
        service.send_signal(signal.SIGTERM)
        service.wait(timeout=20)


if __name__ == "__main__":
    main()
