"""Measures of the harbour console (not a test; see console_browser_test.py
--measure): the time from a kill clicked to the kill relay set with a 20 s
check-in interval, the README's screenshot, and the board with 200 boats."""
import os
import time
import urllib.request

DEMO = [(1, "Auk"), (2, "Gull"), (3, "Puffin"), (4, "Eider"), (5, "Grebe"), (6, "Heron"), (8, "Curlew"),
        (9, "Plover"), (10, "Skua")]


def checkin(t, boat, card, kind="card"):
    url = "http://127.0.0.1:%d/hullgate/checkin.php?RFID=%s&BoatID=%d&Kind=%s" % (t.PORT, card, boat, kind)
    with urllib.request.urlopen(url, timeout=10) as r:
        return r.read().decode()


def run(build, t):
    from selenium.webdriver.common.by import By
    h = t.Harbour(build, interval=20)
    driver = None
    try:
        h.shore("staff", "add", "anna", "--role", "admin", stdin="harbour-admin-1\n")
        h.shore("boat", "add", "--boat", str(t.BOAT), "--name", "Tern")
        h.serve(h.conf, t.PORT)
        h.start_boat()
        driver = t.browser()
        t.log_in(driver, "anna", "harbour-admin-1")
        t.wait_until(lambda: "boats" in t.text_of(driver, "#summary"), 10, "the board")
        h.shore("sell", "--card", t.CARD, "--seconds", "3600")
        h.boatsim("card", "put", t.CARD)
        t.wait_until(lambda: t.text_of(driver, "#boat-%d .state" % t.BOAT) == "running", 30, "the boat running")
        h.boatsim("card", "take", t.CARD)
        driver.get("http://127.0.0.1:%d/console/boat?boat=%d" % (t.PORT, t.BOAT))
        t.wait_until(lambda: "running" in t.text_of(driver, "#state"), 10, "the boat page")
        driver.find_element(By.CSS_SELECTOR, "form[data-order=kill] button").click()
        clicked = time.monotonic()
        t.wait_until(lambda: h.relays()[1] == "active", 70, "the kill relay")
        print("MEASURE kill clicked to kill relay set: %.2f s (CHECKIN_INTERVAL=20)" % (time.monotonic() - clicked))
        print("MEASURE boat page: expected %s, answered %s" % (t.text_of(driver, "#kill-expected"),
                                                               t.text_of(driver, "#kill-answered")))

        # The demo's boats: some out on the water, one silent, one locked out.
        for n, name in DEMO:
            h.shore("boat", "add", "--boat", str(n), "--name", name)
        for n, _ in DEMO[:6]:
            card = "c0ffee%02d" % n
            h.shore("sell", "--card", card, "--seconds", str(1800 * (n % 3 + 1)))
            checkin(t, n, card)
        for n, _ in DEMO[6:8]:
            checkin(t, n, "", "periodic")
        h.shore("boat", "lockout", "--boat", "10", "on")
        driver.get("http://127.0.0.1:%d/console/" % t.PORT)
        t.wait_until(lambda: "10 boats" in t.text_of(driver, "#summary"), 10, "the demo board")
        time.sleep(1.5)
        out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../docs/console-board.png")
        driver.save_screenshot(out)
        print("MEASURE screenshot: " + os.path.normpath(out))

        # 200 boats, a third of them running.
        for n in range(11, 11 + 190):
            h.shore("boat", "add", "--boat", str(n), "--name", "B%d" % n)
        for n in range(11, 11 + 190, 3):
            card = "ab%04d" % n
            h.shore("sell", "--card", card, "--seconds", "7200")
            checkin(t, n, card)
        loads = []
        for _ in range(3):
            driver.get("about:blank")
            start = time.monotonic()
            driver.get("http://127.0.0.1:%d/console/" % t.PORT)
            t.wait_until(lambda: t.text_of(driver, "#summary").startswith("200 boats"), 20, "200 boats")
            loads.append(time.monotonic() - start)
        weight = driver.execute_script(
            "const n = performance.getEntriesByType('navigation')[0];"
            "const r = performance.getEntriesByType('resource');"
            "return [n.transferSize, n.encodedBodySize, r.map(e => [e.name, e.decodedBodySize, e.encodedBodySize])];")
        sent = weight[1] + sum(e[2] for e in weight[2])
        whole = weight[1] + sum(e[1] for e in weight[2])
        print("MEASURE board with 200 boats: load to the filled table %s s; page weight %d bytes as sent (gzip), "
              "%d bytes unpacked" % (", ".join("%.2f" % x for x in loads), sent, whole))
        for name, unpacked, encoded in weight[2]:
            print("MEASURE   %s: %d bytes sent, %d unpacked" % (name.split("/", 3)[-1], encoded, unpacked))
    finally:
        if driver:
            driver.quit()
        h.close()
