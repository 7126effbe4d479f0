#!/usr/bin/python3
"""Debian's PDUDaemon, on a loopback port, switching output 3 of the simulated
card through its localcmdline driver with io_card, as a lab's daemon would: an
HTTP request for off and one for on, each seen on the card. Also what a lab
meets: the daemon answers a switch that failed as it answers one that worked,
and the failure's message is on the daemon's standard error; and a reboot
whose client hangs up after the off still ends with the on. Exits 77 where
PDUDaemon is not installed.
  pdudaemon_test.py IO_CARD IO_CARD_SIM"""
import json
import os
import queue
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

PDUDAEMON = "/usr/sbin/pdudaemon"
if not os.access(PDUDAEMON, os.X_OK):
    print("skipped: PDUDaemon is not installed (pdudaemon)")
    sys.exit(77)

io_card, simulator = sys.argv[1:3]
PATIENCE = 30  # seconds for any one event: a loaded machine starts Python slowly


def lines_of(stream):
    """A queue that a thread fills with the lines of stream."""
    lines = queue.Queue()

    def read():
        for line in stream:
            lines.put(line.rstrip("\n"))
    threading.Thread(target=read, daemon=True).start()
    return lines


def next_set(lines):
    """The pattern of the next set frame that the card logs."""
    deadline = time.monotonic() + PATIENCE
    while True:
        line = lines.get(timeout=max(deadline - time.monotonic(), 0))
        if line.startswith("set "):
            return line.split()[1]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def command(port, state):
    # The driver puts the port number in with Python's %, so a % of the paths
    # is doubled; it runs the command through a shell, so the paths are quoted.
    words = f"{shlex.quote(io_card)} -p {shlex.quote(port)} --verify".replace("%", "%%")
    return f"{words} -%d {state}"


def request(url):
    with urllib.request.urlopen(url, timeout=PATIENCE) as answer:
        return answer.status, answer.read().decode()


scratch = tempfile.mkdtemp(prefix="io_card_pdudaemon.")
card = subprocess.Popen([simulator, "--states", "11111111"], stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE, text=True)
daemon = None
try:
    path = card.stdout.readline().strip()
    log = lines_of(card.stderr)
    listen = free_port()
    settings = {
        "daemon": {"hostname": "127.0.0.1", "port": listen, "listener": "http",
                   "logging_level": "INFO"},
        "pdus": {
            "card": {"driver": "localcmdline", "cmd_on": command(path, "on"),
                     "cmd_off": command(path, "off")},
            "gone": {"driver": "localcmdline", "cmd_on": command("/nonexistent/ttyUSB9", "on"),
                     "cmd_off": command("/nonexistent/ttyUSB9", "off")},
        },
    }
    conf = os.path.join(scratch, "pdudaemon.conf")
    with open(conf, "w", encoding="utf-8") as file:
        json.dump(settings, file)
    errors = os.path.join(scratch, "stderr")
    with open(errors, "w", encoding="utf-8") as err:
        daemon = subprocess.Popen([PDUDAEMON, "--conf", conf], stdout=subprocess.DEVNULL,
                                  stderr=err)
    deadline = time.monotonic() + PATIENCE
    while True:
        assert daemon.poll() is None, f"pdudaemon ended: {open(errors).read()}"
        try:
            socket.create_connection(("127.0.0.1", listen), timeout=1).close()
            break
        except OSError:
            assert time.monotonic() < deadline, "pdudaemon did not listen"
            time.sleep(0.05)
    base = f"http://127.0.0.1:{listen}/power/control/"

    # The daemon answers once the command has run.
    assert request(base + "off?hostname=card&port=3") == (200, "OK - accepted request\n")
    assert next_set(log) == "11011111"
    assert request(base + "on?hostname=card&port=3") == (200, "OK - accepted request\n")
    assert next_set(log) == "11111111"

    # A switch that failed is accepted all the same; io_card's message is on
    # the daemon's standard error, and nowhere in its answer.
    assert request(base + "on?hostname=gone&port=3") == (200, "OK - accepted request\n")
    said = open(errors, encoding="utf-8").read()
    assert "Error opening /nonexistent/ttyUSB9!\n" in said, said

    # The daemon's own reboot: off, its delay, on. A client that hangs up once
    # the off is done, as a job that timed out does, leaves the on to come.
    with socket.create_connection(("127.0.0.1", listen), timeout=PATIENCE) as client:
        client.sendall(b"GET /power/control/reboot?hostname=card&port=3&delay=1 HTTP/1.1\r\n"
                       b"Host: 127.0.0.1\r\n\r\n")
        assert next_set(log) == "11011111"
    hung_up = time.monotonic()
    assert next_set(log) == "11111111"
    assert time.monotonic() - hung_up >= 0.5
finally:
    if daemon is not None:
        daemon.send_signal(signal.SIGTERM)
        try:
            daemon.wait(timeout=10)
        except subprocess.TimeoutExpired:
            daemon.kill()
            daemon.wait()
    card.terminate()
    card.wait(timeout=10)
    shutil.rmtree(scratch)
print("off, on, a failed switch and a reboot cut short through PDUDaemon")
