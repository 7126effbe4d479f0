#!/usr/bin/python3
"""labgrid's ExternalPowerDriver switching output 3 of the simulated card on,
off and through a cycle with io_card, as a lab's target would. labgrid gives the
command a pseudo-terminal for its output, which io_card must not take for a
card's line, and splits the command into words as a shell would: a path with
spaces goes in quoted. Exits 77 where labgrid is not installed.
  labgrid_test.py IO_CARD IO_CARD_SIM"""
import shlex
import subprocess
import sys
import time

try:
    from labgrid import Target
    from labgrid.driver.powerdriver import ExternalPowerDriver
except ImportError:
    print("skipped: labgrid is not installed (python3-labgrid)")
    sys.exit(77)

io_card, simulator = sys.argv[1:3]
card = subprocess.Popen([simulator, "--states", "11111111"], stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE, text=True)
try:
    port = card.stdout.readline().strip()
    command = f"{shlex.quote(io_card)} -p {shlex.quote(port)} --verify -3"
    target = Target("board")
    power = ExternalPowerDriver(target, "power", cmd_on=f"{command} on", cmd_off=f"{command} off",
                                cmd_cycle=f"{command} off --for=300")
    target.activate(power)
    power.off()
    power.on()
    began = time.monotonic()
    power.cycle()
    took = time.monotonic() - began
finally:
    card.terminate()
    log = card.communicate(timeout=10)[1]
patterns = [line.split()[1] for line in log.splitlines() if line.startswith("set ")]
assert patterns == ["11011111", "11111111", "11011111", "11111111"], log
assert took >= 0.3, took
print(f"off, on and a cycle of 300 ms in {took:.3f} s")
