#!/usr/bin/python3
"""The web view as its users meet it: a real browser on the page of a running
tool, hostile requests that must be refused, and 20 polling clients that must
cost the capture loop nothing. Usage: web_view.py TRAILCAM SCREENSHOT.png"""
import atexit
import http.client
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

tool, screenshot = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2])
work = tempfile.mkdtemp()
out, err = os.path.join(work, "out"), os.path.join(work, "err")

# The sky 20 times faster than real time reaches its first snapshot in seconds.
process = subprocess.Popen([tool, "--demo", "--headless", "--http", "127.0.0.1:0", "--size", "320x240",
                            "--demo-speed", "20"], cwd=work, stdin=subprocess.DEVNULL, stdout=open(out, "w"),
                           stderr=open(err, "w"))
atexit.register(process.kill)  # also when a check fails
for _ in range(100):
    found = re.search(r"web view at http://127\.0\.0\.1:(\d+)/", open(err).read())
    if found:
        break
    time.sleep(0.1)
port = int(found.group(1))


def request(method, path, headers={}):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.putrequest(method, path, skip_accept_encoding=True)
    for name, value in headers.items():
        connection.putheader(name, value)
    connection.endheaders()
    response = connection.getresponse()
    return response.status, response.read()


# A real browser: both images load, the fields change, the plot grows, a snapshot appears.
options = webdriver.ChromeOptions()
for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--window-size=1000,1400", "--user-data-dir=" + os.path.join(work, "chromium")]:
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    driver.get("http://127.0.0.1:%d/" % port)
    wait = WebDriverWait(driver, 60, poll_frequency=0.2)
    for image in ["frame", "trail"]:
        wait.until(lambda d: d.execute_script("return document.getElementById(arguments[0]).naturalWidth", image) > 0)
    first = driver.find_element("id", "frameCounter").text
    WebDriverWait(driver, 5).until(lambda d: d.find_element("id", "frameCounter").text != first)
    points = lambda d: len(d.find_element("id", "diffLine").get_attribute("points").split())
    before = points(driver)
    WebDriverWait(driver, 5).until(lambda d: points(d) > before)
    wait.until(lambda d: d.execute_script(
        "const i = document.querySelector('#gallery img'); return i !== null && i.complete && i.naturalWidth > 0"))
    driver.save_screenshot(screenshot)
finally:
    driver.quit()

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
alone = loop_rate(5)
failures, served, deadline = [], [0], time.time() + 10


def client():
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    while time.time() < deadline:
        for path in ["/trail.jpg", "/status.json"]:
            try:
                connection.request("GET", path)
                response = connection.getresponse()
                response.read()
                served[0] += 1
                if response.status != 200:
                    failures.append(response.status)
            except Exception as error:
                failures.append(repr(error))
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)


clients = [threading.Thread(target=client) for _ in range(20)]
for c in clients:
    c.start()
loaded = loop_rate(9.5)
for c in clients:
    c.join()
print("load: %d requests in 10 s, %d failed; loop %.0f images/s alone, %.0f with 20 clients"
      % (served[0], len(failures), alone, loaded))
assert not failures, failures[:5]
assert loaded >= 0.9 * alone, "the clients slowed the loop"
process.terminate()
assert process.wait(timeout=30) == 0, "the tool did not end in order"
print("ok (web view)")
