#!/usr/bin/python3
"""The harbour console in a real browser (headless Chromium through WebDriver),
against boat_shore and boat_checkin on a simulated board, in a network of the
test's own: log in, sell, tap the card, see the boat run with its countdown,
set and lift the weather lockout, kill the boat from its page and see the
kill reach the boat; then the API's
refusals, each leaving the book as it was.

  console_browser_test.py BUILD_DIR            the test (CTest)
  console_browser_test.py BUILD_DIR --measure  kill-to-relay time with a
      20 s check-in interval, the board's weight and load time with 200 boats,
      and the README's screenshot (docs/console-board.png)
"""
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

SKIP = 77
PORT = 8080
SHORT_PORT = 8081  # a second server whose logins last a second
CARD = "0a1bc203"
BOAT = 7
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--window-size=1400,900"]


def skip(why):
    print("SKIP: " + why)
    sys.exit(SKIP)


def wait_until(check, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out after %.0f s waiting for %s" % (seconds, what))


class Harbour:
    """boat_shore, its book and one simulated boat, in a temporary folder."""

    def __init__(self, build, interval):
        self.build = build
        self.dir = tempfile.mkdtemp(prefix="boatconsole.")
        self.procs = []
        self.conf = self.write("shore.conf", "DATABASE=sqlite:%s/shore.db\nLISTEN=127.0.0.1:%d\nMAP_CENTER=54.3233,10.1394\n"
                               % (self.dir, PORT))
        self.short_conf = self.write("short.conf", "DATABASE=sqlite:%s/shore.db\nLISTEN=127.0.0.1:%d\n"
                                     "STAFF_SESSION_SECONDS=1\n" % (self.dir, SHORT_PORT))
        self.board = os.path.join(self.dir, "board.state")
        self.interval = interval

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o600)
        return path

    def shore(self, *args, stdin=None, conf=None):
        r = subprocess.run([os.path.join(self.build, "shore/boat_shore"), "--config", conf or self.conf] + list(args),
                           input=stdin, capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise AssertionError("boat_shore %s: %s" % (" ".join(args), r.stderr))
        return r.stdout

    def serve(self, conf, port):
        err = open(os.path.join(self.dir, "serve%d.err" % port), "w")
        p = subprocess.Popen([os.path.join(self.build, "shore/boat_shore"), "--config", conf, "serve"],
                             stdout=subprocess.DEVNULL, stderr=err)
        self.procs.append(p)
        wait_until(lambda: "serving" in open(err.name).read(), 20, "boat_shore serve on %d" % port)

    def boatsim(self, *args):
        r = subprocess.run([os.path.join(self.build, "sim/boatsim")] + list(args), capture_output=True, text=True,
                           timeout=20, env=dict(os.environ, BOATSIM_STATE=self.board))
        if r.returncode != 0:
            raise AssertionError("boatsim %s: %s" % (" ".join(args), r.stderr))
        return r.stdout

    def relays(self):
        """The run relay and the kill relay, as the board shows them."""
        shown = json.loads(self.boatsim("show", "--json"))
        return shown["run_relay"], shown["kill_relay"]

    def start_boat(self):
        self.boatsim("new", "--profile", "checkin")
        creds = os.path.join(self.dir, "creds")
        os.mkdir(creds, 0o700)
        with open(os.path.join(creds, "terminal.conf"), "w") as f:
            f.write("URL=http://127.0.0.1:%d/hullgate/checkin.php\nCHECKIN_INTERVAL=%d\n" % (PORT, self.interval))
        os.chmod(os.path.join(creds, "terminal.conf"), 0o600)
        self.write("boatid.txt", "%d\n" % BOAT)
        self.terminal_err = os.path.join(self.dir, "terminal.err")
        p = subprocess.Popen([os.path.join(self.build, "checkin/boat_checkin")], cwd=self.dir,
                             env=dict(os.environ, BOATSIM_STATE=self.board, CREDENTIALS_DIRECTORY=creds),
                             stdout=subprocess.DEVNULL, stderr=open(self.terminal_err, "w"))
        self.procs.append(p)
        wait_until(lambda: "All LED OFF" in open(self.terminal_err, errors="replace").read(), 20, "the terminal's start")

    def book(self):
        """What a refused request must leave as it was."""
        status = json.loads(self.shore("status", "--json"))
        for b in status:  # the boat checks in on its own meanwhile
            b.pop("last_checkin_age", None)
            b.pop("last_checkin_at", None)
        with sqlite3.connect("file:%s/shore.db?mode=ro" % self.dir, uri=True) as db:
            fleet = db.execute("SELECT * FROM fleet_lockout").fetchall()
        return {"sales": self.shore("sales", "--json"), "sessions": self.shore("sessions", "--json"),
                "status": status, "boats": self.shore("boat", "list"), "fleet": fleet}

    def close(self):
        for p in reversed(self.procs):
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


class Client:
    """A script at the API: its own cookie, CSRF token and address, or a staff token."""

    def __init__(self, port=PORT, token=None):
        self.base = "http://127.0.0.1:%d" % port
        self.cookie = None
        self.csrf = None
        self.token = token

    def call(self, path, body=None, csrf=True):
        req = urllib.request.Request(self.base + path, data=None if body is None else json.dumps(body).encode())
        req.add_header("Content-Type", "application/json")
        if self.cookie:
            req.add_header("Cookie", self.cookie)
        if csrf and self.csrf:
            req.add_header("X-CSRF-Token", self.csrf)
        if self.token:
            req.add_header("Authorization", "Bearer " + self.token)
        try:
            with urllib.request.urlopen(req, timeout=20) as r:
                return r.status, json.loads(r.read() or b"null"), r.headers
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read() or b"null"), e.headers

    def login(self, name, password):
        status, body, headers = self.call("/api/login", {"name": name, "password": password})
        if status == 200:
            self.cookie = headers["Set-Cookie"].split(";")[0]
            self.csrf = body["csrf"]
        return status, headers


def checkin(card, boat, kind):
    """A check-in as a terminal makes it; the answer."""
    url = "http://127.0.0.1:%d/hullgate/checkin.php?RFID=%s&BoatID=%d&Kind=%s" % (PORT, card, boat, kind)
    with urllib.request.urlopen(url, timeout=10) as r:
        return r.read().decode()


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for f in CHROMIUM_FLAGS + ["--user-data-dir=" + tempfile.mkdtemp(prefix="boatchromium.")]:
        opts.add_argument(f)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def log_in(driver, name, password):
    from selenium.webdriver.common.by import By
    driver.get("http://127.0.0.1:%d/console/" % PORT)
    wait_until(lambda: driver.current_url.endswith("/console/login"), 10, "the login page")
    driver.find_element(By.NAME, "name").send_keys(name)
    driver.find_element(By.NAME, "password").send_keys(password)
    driver.find_element(By.CSS_SELECTOR, "#login button").click()


def text_of(driver, css):
    """The element's text, "" while it is missing (the board redraws itself)."""
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    try:
        found = driver.find_elements(By.CSS_SELECTOR, css)
        return found[0].text if found else ""
    except StaleElementReferenceException:
        return ""


def scenario(build):
    from selenium.webdriver.common.by import By
    h = Harbour(build, interval=2)
    driver = None
    try:
        h.shore("staff", "add", "anna", "--role", "admin", stdin="harbour-admin-1\n")
        h.shore("staff", "add", "dirk", "--role", "desk", stdin="harbour-desk-1\n")
        h.shore("boat", "add", "--boat", str(BOAT), "--name", "Tern")
        h.serve(h.conf, PORT)
        h.serve(h.short_conf, SHORT_PORT)
        h.start_boat()
        driver = browser()

        # Login page: a wrong password is refused on the page; the right one opens the board.
        log_in(driver, "anna", "wrong-password")
        wait_until(lambda: "wrong name or password" in text_of(driver, "#message"), 10, "the refusal on the page")
        assert driver.get_cookie("boat_console") is None
        time.sleep(1.1)  # the account's wait after one failure
        driver.find_element(By.NAME, "password").clear()
        driver.find_element(By.NAME, "password").send_keys("harbour-admin-1")
        driver.find_element(By.CSS_SELECTOR, "#login button").click()
        wait_until(lambda: "1 boats" in text_of(driver, "#summary"), 10, "the board")
        cookie = driver.get_cookie("boat_console")
        assert cookie["httpOnly"] and cookie["sameSite"] == "Strict", cookie

        # Sell: the receipt line.
        driver.get("http://127.0.0.1:%d/console/sell" % PORT)
        driver.find_element(By.NAME, "card").send_keys(CARD.upper())
        driver.find_element(By.NAME, "boat").send_keys(str(BOAT))
        driver.find_element(By.CSS_SELECTOR, "#sell button").click()
        receipt = wait_until(lambda: text_of(driver, "#receipt"), 10, "the receipt")
        assert receipt.startswith("sale 1 card %s seconds 3600 boat %d" % (CARD, BOAT)), receipt

        # Board: the card tapped on the boat, the boat runs with its countdown.
        driver.get("http://127.0.0.1:%d/console/" % PORT)
        h.boatsim("card", "put", CARD)
        wait_until(lambda: text_of(driver, "#boat-%d .state" % BOAT) == "running", 20, "the boat running")
        h.boatsim("card", "take", CARD)
        assert text_of(driver, "#boat-%d .card" % BOAT) == CARD
        left = text_of(driver, "#boat-%d .left" % BOAT)
        assert left.startswith("59:") or left == "1:00:00", left
        wait_until(lambda: text_of(driver, "#boat-%d .left" % BOAT) != left, 5, "the countdown to move")
        assert h.relays() == ("running", "off"), h.relays()

        # Weather lockout: no new session anywhere, the running boat keeps its time.
        h.shore("boat", "add", "--boat", "8")
        h.shore("sell", "--card", "0b0b0b0b", "--seconds", "600")
        driver.find_element(By.CSS_SELECTOR, "form[data-order=fleet-lockout][data-word=on] button").click()
        wait_until(lambda: "Weather lockout since" in text_of(driver, "#weather"), 10, "the weather banner")
        assert checkin("0b0b0b0b", 8, "card") == "BAD lockout"
        assert checkin(CARD, BOAT, "periodic").startswith("OK 0 35")
        driver.find_element(By.CSS_SELECTOR, "form[data-order=fleet-lockout][data-word=off] button").click()
        wait_until(lambda: not driver.find_element(By.ID, "weather").is_displayed(), 10, "the banner gone")
        assert checkin("0b0b0b0b", 8, "card").startswith("OK 0 600")
        assert h.relays() == ("running", "off"), h.relays()

        # Boat: kill, its way shown, the boat's relays as the kill says.
        driver.get("http://127.0.0.1:%d/console/boat?boat=%d" % (PORT, BOAT))
        wait_until(lambda: "running" in text_of(driver, "#state"), 10, "the boat page")
        driver.find_element(By.CSS_SELECTOR, "form[data-order=kill] button").click()
        clicked = time.monotonic()
        wait_until(lambda: h.relays()[1] == "active", 3 * h.interval + 10, "the kill relay")
        print("kill clicked to kill relay set: %.2f s (check-in interval %d s)" % (time.monotonic() - clicked, h.interval))
        assert h.relays() == ("stopped", "active"), h.relays()
        wait_until(lambda: text_of(driver, "#kill-answered") not in ("", "not yet"), 10, "the kill answered on the page")
        assert text_of(driver, "#kill-ordered") and text_of(driver, "#kill-expected") not in ("", "–")
        assert text_of(driver, "#checkins tbody tr td:nth-child(4)") == "KILL"
        assert "killed" in text_of(driver, "#state")

        # Log: every check-in and staff action, who and whence, filtered; its CSV.
        driver.get("http://127.0.0.1:%d/console/log" % PORT)
        driver.find_element(By.NAME, "who").send_keys("anna")
        driver.find_element(By.NAME, "what").send_keys("kill")
        driver.find_element(By.CSS_SELECTOR, "#filter button").click()
        row = wait_until(lambda: text_of(driver, "#log tbody tr:only-child"), 10, "the one kill in the log")
        assert "anna 127.0.0.1 kill --boat %d: boat %d kill ordered" % (BOAT, BOAT) in row, row
        script = Client()
        script.cookie = "boat_console=" + driver.get_cookie("boat_console")["value"]
        csv = urllib.request.urlopen(urllib.request.Request(
            script.base + "/api/log.csv?who=boat%%20%d" % BOAT, headers={"Cookie": script.cookie}), timeout=10).read().decode()
        lines = csv.splitlines()
        assert lines[0] == "id,at,who,address,what,hash", lines[0]
        assert any('"check-in RFID=%s Kind=card: OK 0 3600"' % CARD in l for l in lines), csv
        assert any(l.endswith('Kind=periodic: KILL",' + l.rsplit(",", 1)[1]) for l in lines[1:]), csv
        print("browser scenario: passed")
        refusals(h)
        broken_chain(h)
    finally:
        if driver:
            driver.quit()
        h.close()


def refusals(h):
    """Each refused with its status, the book as it was."""
    desk = Client()
    assert desk.login("dirk", "harbour-desk-1")[0] == 200
    short = Client(SHORT_PORT)
    assert short.login("anna", "harbour-admin-1")[0] == 200
    no_csrf = Client()
    assert no_csrf.login("anna", "harbour-admin-1")[0] == 200
    stranger = Client()
    stranger.csrf = no_csrf.csrf  # a token without its session
    # Staff tokens: a desk one, a revoked one, one of an account since removed.
    desk_token = Client(token=h.shore("staff", "token", "dirk").strip())
    revoked = Client(token=h.shore("staff", "token", "anna").strip())
    h.shore("staff", "token", "anna", "--revoke")
    h.shore("staff", "add", "gone", stdin="harbour-gone-1\n")
    gone = Client(token=h.shore("staff", "token", "gone").strip())
    h.shore("staff", "remove", "gone")
    unknown = Client(token="0" * 64)
    time.sleep(1.1)  # the short server's login has expired
    sell = {"card": "ffee01", "seconds": 600}
    cases = [
        ("wrong password", lambda: Client().login("dirk", "not-the-password")[0], 401),
        # Failed logins slowed per address, then per account: refused unchecked.
        ("another name from that address at once", lambda: Client().login("nobody", "not-the-password")[0], 429),
        ("the right password too soon", lambda: Client().login("dirk", "harbour-desk-1")[0], 429),
        ("no CSRF token", lambda: no_csrf.call("/api/order/sell", sell, csrf=False)[0], 403),
        ("wrong CSRF token", lambda: _with_csrf(no_csrf, "0" * 64, "/api/order/kill", {"boat": BOAT}), 403),
        ("desk gives an admin order", lambda: desk.call("/api/order/boat-lockout", {"boat": BOAT, "word": "on"})[0], 403),
        ("desk adds a boat", lambda: desk.call("/api/order/boat-add", {"boat": 99})[0], 403),
        ("desk sets the weather lockout", lambda: desk.call("/api/order/fleet-lockout", {"word": "on"})[0], 403),
        ("expired session", lambda: short.call("/api/order/sell", sell)[0], 401),
        ("no session", lambda: stranger.call("/api/order/sell", sell)[0], 401),
        ("no session reads", lambda: stranger.call("/api/board")[0], 401),
        ("unknown token", lambda: unknown.call("/api/order/sell", sell)[0], 401),
        ("revoked token", lambda: revoked.call("/api/order/sell", sell)[0], 401),
        ("token of a removed account", lambda: gone.call("/api/board")[0], 401),
        ("a token with a cookie", lambda: _with_token(desk, "0" * 64, "/api/order/sell", sell), 401),
        ("desk token gives an admin order", lambda: desk_token.call("/api/order/fleet-lockout", {"word": "on"})[0], 403),
        ("bad order input", lambda: desk.call("/api/order/sell", {"card": "xyz", "seconds": 600})[0], 400),
        ("unknown option", lambda: desk.call("/api/order/sell", {"card": "ab", "seconds": 600, "json": "1"})[0], 400),
    ]
    before = h.book()
    for name, call, want in cases:
        got = call()
        assert got == want, "%s: status %s, not %s" % (name, got, want)
    assert h.book() == before, "a refused request changed the book"
    assert unknown.call("/api/board")[1] == stranger.call("/api/board")[1], "a bad token told apart from no session"
    # And what desk may do, it does; a token sells without a CSRF token, logged as its staff.
    assert desk.call("/api/order/release", {"boat": BOAT})[0] == 200
    status, body, _ = desk_token.call("/api/order/sell", sell)
    assert status == 200 and body["text"].startswith("sale "), (status, body)
    entries = desk_token.call("/api/log?what=ffee01")[1]["entries"]
    assert [e["who"] for e in entries] == ["dirk"], entries
    assert desk_token.token not in json.dumps(desk_token.call("/api/log?what=staff%20token")[1])
    print("API refusals: %d cases passed" % len(cases))


def broken_chain(h):
    """An entry edited in the database breaks the chain, and log verify says where."""
    assert "the chain holds" in h.shore("log", "verify")
    with sqlite3.connect("%s/shore.db" % h.dir) as db:
        (sale,) = db.execute("SELECT id FROM journal WHERE what LIKE 'sell %'").fetchone()
        db.execute("UPDATE journal SET what = replace(what, '3600', '36000') WHERE id = ?", (sale,))
    r = subprocess.run([os.path.join(h.build, "shore/boat_shore"), "--config", h.conf, "log", "verify"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 1 and "broken at entry %d" % sale in r.stderr, (r.returncode, r.stderr)
    print("log verify: the edit at entry %d found" % sale)


def _with_csrf(client, token, path, body):
    saved, client.csrf = client.csrf, token
    try:
        return client.call(path, body)[0]
    finally:
        client.csrf = saved


def _with_token(client, token, path, body):
    saved, client.token = client.token, token
    try:
        return client.call(path, body)[0]
    finally:
        client.token = saved


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    if os.environ.get("BOAT_CONSOLE_NETNS") != "1":
        if os.geteuid() != 0:
            skip("needs root for a network of its own")
        if not os.access(os.path.join(build, "sim/boatsim"), os.X_OK):
            skip("no simulated board in " + build + " (a BOAT_BOARD=sim build)")
        for tool in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
            if not os.access(tool, os.X_OK):
                skip(tool + " is not installed (scripts/setup installs it)")
        try:
            import selenium  # noqa: F401
        except ImportError:
            skip("python3-selenium is not installed (scripts/setup installs it)")
        # Again, in a network namespace of its own with its loopback up.
        r = subprocess.run(["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                            sys.executable] + sys.argv, env=dict(os.environ, BOAT_CONSOLE_NETNS="1"))
        sys.exit(r.returncode)
    if "--measure" in sys.argv:
        import console_measure
        console_measure.run(build, sys.modules[__name__])
    else:
        scenario(build)


if __name__ == "__main__":
    main()
