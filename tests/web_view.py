#!/usr/bin/python3
"""The web view as its users meet it: a real browser, hostile requests and 20
polling clients against a running tool. Usage: web_view.py TRAILCAM SCREENSHOT.png"""
import atexit, http.client, os, re, subprocess, sys, tempfile, time
from concurrent.futures import ThreadPoolExecutor
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

tool, screenshot, work = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2]), tempfile.mkdtemp()
out, err = os.path.join(work, "out"), os.path.join(work, "err")
# The sky 20 times faster than real time reaches its first snapshot in seconds.
process = subprocess.Popen([tool, "--demo", "--headless", "--http", "127.0.0.1:0", "--size", "320x240",
                            "--demo-speed", "20"], cwd=work, stdin=subprocess.DEVNULL, stdout=open(out, "w"),
                           stderr=open(err, "w"))
atexit.register(process.kill)  # also when a check fails
while not (found := re.search(r"web view at http://127\.0\.0\.1:(\d+)/", open(err).read())):
    time.sleep(0.1)  # the check's own timeout ends a tool that never says where it listens
port = int(found.group(1))

# A real browser: both images load, the fields change, the plot grows, a snapshot appears.
options = webdriver.ChromeOptions()
for flag in ["headless", "no-sandbox", "disable-gpu", "window-size=1000,1400", "user-data-dir=" + work + "/chromium"]:
    options.add_argument("--" + flag)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
atexit.register(driver.quit)
driver.get("http://127.0.0.1:%d/" % port)
wait, script = WebDriverWait(driver, 60, poll_frequency=0.2), driver.execute_script
wait.until(lambda d: script("return frame.naturalWidth > 0 && trail.naturalWidth > 0"))
state = "return [frameCounter.textContent, diffLine.getAttribute('points').split(' ').length]"
first = script(state)
WebDriverWait(driver, 5).until(lambda d: script(state)[0] != first[0] and script(state)[1] > first[1])
wait.until(lambda d: script("const i = document.querySelector('#gallery img');"
                            "return i !== null && i.complete && i.naturalWidth > 0"))
driver.save_screenshot(screenshot)
driver.quit()


def request(method, path, headers={}):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request(method, path, headers=headers)
    response = connection.getresponse()
    return response.status, response.read()


# Hostile requests, each refused with a short plain answer.
os.symlink("/etc/hostname", os.path.join(work, "img", "99.jpg"))
for method, path, headers, expected in [
        ("POST", "/status.json", {}, 405), ("PUT", "/snapshots/1.jpg", {}, 405), ("DELETE", "/", {}, 405),
        ("OPTIONS", "/", {}, 405), ("GET", "/snapshots/../out", {}, 404), ("GET", "/snapshots/..%2Fout", {}, 404),
        ("GET", "/snapshots/%2e%2e%2fout", {}, 404), ("GET", "/snapshots/99.jpg", {}, 404),
        ("GET", "/snapshots/", {}, 404), ("GET", "/snapshots/1.jpg%00.txt", {}, 404), ("GET", "/img/1.jpg", {}, 404),
        ("GET", "/out", {}, 404), ("GET", "/" + "a" * 9000, {}, 414), ("GET", "/", {"X-Big": "b" * 9000}, 400)]:
    status, body = request(method, path, headers)
    assert status == expected, "%s %s...: %d, expected %d" % (method, path[:40], status, expected)
    assert len(body) < 100 and b"<" not in body, "error bodies are plain and short: %r" % body[:100]
assert request("GET", "/snapshots/1.jpg")[0] == 200 and request("HEAD", "/trail.jpg")[0] == 200


def loop_rate(seconds):
    """Images merged per second of wall time: each status line stands for 30."""
    before = open(out).read().count("freq=")
    time.sleep(seconds)
    return (open(out).read().count("freq=") - before) * 30 / seconds


# 20 clients polling for 10 seconds: no failed request, the loop as fast as without them.
alone, served, deadline = loop_rate(5), [], time.time() + 10


def client():
    while time.time() < deadline:
        served.extend(request("GET", path)[0] for path in ["/trail.jpg", "/status.json"])


with ThreadPoolExecutor(20) as pool:
    clients = [pool.submit(client) for _ in range(20)]
    loaded = loop_rate(9.5)
[c.result() for c in clients]  # a client's failed request fails the check
failures = [status for status in served if status != 200]
print("load: %d requests in 10 s, %d failed; loop %.0f images/s alone, %.0f with 20 clients"
      % (len(served), len(failures), alone, loaded))
assert not failures, failures[:5]
assert loaded >= 0.9 * alone, "the clients slowed the loop"
process.terminate()
assert process.wait(timeout=30) == 0, "the tool did not end in order"
print("ok (web view)")
