"""io_card in a virtual machine, on the kernel's own serial drivers.

Started by tools/vm-check: vm_test.py BUILD_DIR KERNEL_DIR. QEMU boots Debian's
kernel with io_card, busybox and init beside this file. A 16550A UART (the 8250
driver, /dev/ttyS1) and an FTDI USB adapter (ftdi_sio, /dev/ttyUSB0) are each
wired to a simulated card, io_card_sim, on this host.

What it proves: on a real UART and a real USB serial driver, the frames the card
receives, stdout byte for byte (an answer holding every awkward byte included),
stderr and the status of each run; that io_card leaves both lines at 9600 baud,
8N1, whatever stty left on them, as QEMU's own trace of what the guest wrote to
the UART and the adapter shows; and that an adapter unplugged, or its card gone,
while io_card waits for an answer ends the run with a hang-up at once.

What it cannot prove: QEMU's adapter hands bytes over as soon as they come, with
no FTDI latency timer (io_card_sim --latency stands in for it on the host). The
UART has three wires, no modem lines: a card gone from it is silence, and a
pulled cable cannot be told from a silent card, so io_card says "No answer".
"""
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time

build, kernel = sys.argv[1:3]
work = os.path.join(build, 'vm-run')
IO = '--pause=250 --gap=100'  # an emulated CPU turns around slowly
AWKWARD = b'\r\n\x03\x11\x13\x7f\x00\xff\x1a\x04\x1c\x15\x12\x16\x17\x0f\\'
SHOWN = ''.join(f'\\x{byte:02x}' for byte in AWKWARD)  # as --trace and --extra write it
UART, ADAPTER, SPARE = '/dev/ttyS1', '/dev/ttyUSB0', '/dev/ttyUSB1'
DIRTY = 'stty -F {port} cs7 parenb cstopb crtscts 115200'
HUNG_UP = b'io_card: Error reading from /dev/ttyUSB1: the device hung up or was unplugged\n'

# (ports, io_card's arguments after -p PORT and IO, or a shell command; what the
# runner does meanwhile; the frames the card receives; stdout; stderr; status; the
# line as QEMU last set it). SPARE is a fresh adapter, plugged in for its row,
# whose card never answers; it must hang up within 1 s of the unplug or the kill.
TABLE = [
    ((UART,), DIRTY, '', [], b'', b'', 0, '115200 E 7 2'),
    # An FTDI chip divides 3 MHz: asked for 115200 baud, it runs at 115384.
    ((ADAPTER,), DIRTY, '', [], b'', b'', 0, '115384 E 7 2'),
    ((UART, ADAPTER), '', '', [], b'', b'', 0, '9600 N 8 1'),
    ((UART, ADAPTER), '-s 10101010', '', ['set 10101010'], b'10101010', b'', 0, None),
    ((UART, ADAPTER), '-g', '', ['get'], b'10101010' + AWKWARD, b'', 0, None),
    ((UART, ADAPTER), '-2 on', '', ['get', 'set 11101010'], AWKWARD + b'11101010', b'', 0, None),
    ((UART, ADAPTER), '--verify -s 01010101', '', ['set 01010101', 'get'], b'01010101', b'', 0,
     None),
    ((UART, ADAPTER), '--trace -g', '', ['get'], b'01010101' + AWKWARD,
     f'io_card: T ms > g\nio_card: T ms < 01010101{SHOWN}\n'.encode(), 0, None),
    ((UART,), '-g', 'kill the card first', [], b'',
     b'io_card: No answer from the card on /dev/ttyS1\n', 1, None),
    ((SPARE,), '--pause=5000 -g', 'unplug', ['get'], b'', HUNG_UP, 1, None),
    ((SPARE,), '--pause=5000 -g', 'kill the card', ['get'], b'', HUNG_UP, 1, None),
]


class Lines:
    """A pipe's lines as they come, read on a thread of their own."""

    def __init__(self, pipe):
        self.lines, self.changed = [], threading.Condition()
        threading.Thread(target=self.read, args=(pipe,), daemon=True).start()

    def read(self, pipe):
        for line in pipe:
            with self.changed:
                self.lines.append(line.decode('latin-1').rstrip('\r\n'))
                self.changed.notify_all()

    def wait(self, found, seconds):
        """found(lines) once it is true, or its last value after seconds."""
        with self.changed:
            return self.changed.wait_for(lambda: found(self.lines), seconds)


def card(*options):
    sim = subprocess.Popen([os.path.join(build, 'io_card_sim'), *options],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    cards.append(sim)
    sim.log = Lines(sim.stderr)
    sim.path = Lines(sim.stdout).wait(lambda lines: lines and lines[0], 10)
    if not sim.path:
        sys.exit('io_card_sim gave no path')
    return sim


def initramfs():
    def read(path):
        with open(path, 'rb') as file:
            return file.read()
    programs = ['/bin/busybox', os.path.join(build, 'io_card')]
    libraries = re.findall(r'(/\S+) \(0x', subprocess.check_output(['ldd', programs[1]], text=True))
    files = {'init': (0o100755, read(os.path.join(os.path.dirname(__file__), 'init')))}
    for path in programs:
        files['bin/' + os.path.basename(path)] = (0o100755, read(path))
    for path in libraries:
        files[path.lstrip('/')] = (0o100755, read(os.path.realpath(path)))
    modules = 'lib/modules/' + os.listdir(os.path.join(kernel, 'lib/modules'))[0]
    depends = dict(line.split(':') for line in read(f'{kernel}/{modules}/modules.dep').decode().splitlines())
    for driver in ('kernel/drivers/usb/host/xhci-pci.ko', 'kernel/drivers/usb/serial/ftdi_sio.ko'):
        for name in [driver, *depends[driver].split(), 'modules.dep']:
            files[f'{modules}/{name}'] = (0o100644, read(f'{kernel}/{modules}/{name}'))
    # newc, as the kernel unpacks it: every folder before what it holds.
    entries, archive = {'proc': (0o40755, b''), 'sys': (0o40755, b'')}, bytearray()
    for name, entry in files.items():
        for end in [i for i, c in enumerate(name) if c == '/']:
            entries.setdefault(name[:end], (0o40755, b''))
        entries[name] = entry
    for number, (name, (mode, data)) in enumerate([*entries.items(), ('TRAILER!!!', (0, b''))], 1):
        fields = (number, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0)
        archive += b'070701' + b''.join(b'%08x' % field for field in fields) + name.encode() + b'\0'
        archive += bytes(-len(archive) % 4) + data
        archive += bytes(-len(archive) % 4)
    with open(os.path.join(work, 'initramfs'), 'wb') as file:
        file.write(archive)


def qmp(command, **arguments):
    monitor.sendall(json.dumps({'execute': command, 'arguments': arguments}).encode())
    while True:  # events may come first
        reply = json.loads(replies.readline())
        if 'error' in reply:
            raise RuntimeError(f'{command}: {reply["error"]}')
        if 'return' in reply:
            return reply['return']


def line_settings(lines):
    """How QEMU last set each port's line from what the guest wrote: '9600 N 8 1'."""
    found = {}
    for line in lines:
        if m := re.search(r"serial_update_parameters baudrate=(\d+) parity='(.)' data=(\d) stop=(\d)", line):
            found[UART] = ' '.join(m.groups())
        elif m := re.search(r'usb_serial_set_baud dev \S+ baud rate (\d+)', line):
            found['baud'] = m[1]
        elif m := re.search(r'usb_serial_set_data dev \S+ parity (.), data bits (\d), stop bits (\d)', line):
            found['data'] = ' '.join(m.groups())
    if 'baud' in found and 'data' in found:
        found[ADAPTER] = found['baud'] + ' ' + found['data']
    return found


def run(port, args, action, frames, out, err, status, line):
    sim = {UART: uart, ADAPTER: adapter}.get(port)
    command = args.format(port=port) if args.startswith('stty') else f'io_card -p {port} {IO} {args}'
    if port == SPARE:
        sim = card('--silent')
        name = f'spare{len(cards)}'
        qmp('chardev-add', id=name, backend={'type': 'serial', 'data': {'device': sim.path}})
        qmp('device_add', driver='usb-serial', id=name, chardev=name)
        command = f'until [ -e {port} ]; do sleep 0.1; done; {command}'
    if action == 'kill the card first':
        sim.terminate()
        sim.wait(10)
    logged, traced, said = len(sim.log.lines), len(trace.lines), len(console.lines)
    started = time.monotonic()
    qemu.stdin.write(command.encode() + b'\n')
    qemu.stdin.flush()
    if action in ('unplug', 'kill the card'):
        sim.log.wait(lambda lines: len(lines) > logged, 60)  # io_card now waits for the answer
        started = time.monotonic()
        if action == 'unplug':
            qmp('device_del', id=name)
        else:
            sim.terminate()

    def done(lines):
        return next((m for text in lines[said:] if (m := re.search(r'done (\d+) out=(\w*) err=(\w*)', text))), None)
    answer = console.wait(done, 60)
    took = time.monotonic() - started
    if not answer:
        return 'no answer from the machine within 60 s', took
    got = (int(answer[1]), bytes.fromhex(answer[2]), re.sub(rb'\d+\.\d ms', b'T ms', bytes.fromhex(answer[3])))
    def sent(lines):
        return [text for text in lines[logged:] if not text.startswith(' ')]
    sim.log.wait(lambda lines: len(sent(lines)) >= len(frames), 10)
    if line:
        trace.wait(lambda lines: line_settings(lines[traced:]).get(port) == line, 10)
    got_line = line_settings(trace.lines[traced:]).get(port) if line else None
    problems = [f'{what}: {have!r}, not {want!r}' for what, have, want in (
        ('frames', sent(sim.log.lines), frames), ('status', got[0], status), ('stdout', got[1], out),
        ('stderr', got[2], err), ('line', got_line, line)) if have != want]
    if action in ('unplug', 'kill the card') and took > 1:
        problems.append(f'{took:.2f} s after the {action}, not within 1 s')
    return '; '.join(problems), took


cards = []
os.makedirs(work, exist_ok=True)
version = subprocess.check_output(['qemu-system-x86_64', '--version'], text=True).splitlines()[0]
print(f'{version}; kernel {os.path.basename(kernel)}; io_card from {build}')
initramfs()
uart, adapter = card('--extra', SHOWN), card('--extra', SHOWN)
listener = socket.socket(socket.AF_UNIX)
qmp_path = os.path.join(work, 'qmp')
if os.path.exists(qmp_path):
    os.unlink(qmp_path)
listener.bind(qmp_path)
listener.listen(1)
listener.settimeout(60)
started = time.monotonic()
# TCG alone: a nested KVM may take the guest and never boot it.
qemu = subprocess.Popen([
    'qemu-system-x86_64', '-accel', 'tcg', '-m', '256', '-nodefaults', '-no-user-config',
    '-display', 'none', '-no-reboot', '-kernel', os.path.join(kernel, 'vmlinux'),
    '-initrd', os.path.join(work, 'initramfs'), '-append', 'console=ttyS0,115200 quiet panic=-1',
    '-chardev', 'stdio,id=console,signal=off', '-serial', 'chardev:console',
    '-chardev', f'serial,id=uart,path={uart.path}', '-serial', 'chardev:uart',
    '-device', 'qemu-xhci', '-chardev', f'serial,id=adapter,path={adapter.path}',
    '-device', 'usb-serial,id=adapter,chardev=adapter',
    '-chardev', f'socket,id=qmp,path={qmp_path}', '-mon', 'chardev=qmp,mode=control',
    '-trace', 'serial_update_parameters', '-trace', 'usb_serial_set_*'],
    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
failed = 0
try:
    console, trace = Lines(qemu.stdout), Lines(qemu.stderr)
    monitor = listener.accept()[0]
    monitor.settimeout(60)
    replies = monitor.makefile('rb')
    replies.readline()  # the greeting
    qmp('qmp_capabilities')
    if not console.wait(lambda lines: any(t.startswith('ready') for t in lines), 120):
        sys.exit('the machine did not boot within 120 s:\n' + '\n'.join(console.lines + trace.lines))
    print(f'booted in {time.monotonic() - started:.1f} s')
    for port in (UART, ADAPTER, SPARE):
        for ports, args, action, *wants in TABLE:
            if port in ports:
                problem, took = run(port, args, action, *wants)
                failed += bool(problem)
                label = args.format(port=port) if args.startswith('stty') else args or '(port only)'
                extra = f' [{action}]' if action else f' [line: {wants[-1]}]' if wants[-1] else ''
                print(f'{"FAIL" if problem else "ok  "} {port} {label}{extra}: {problem or f"{took:.2f} s"}')
    qemu.stdin.write(b'poweroff -f\n')
    qemu.stdin.flush()
    qemu.wait(60)
    print(f'boot, {sum(len(r[0]) for r in TABLE)} runs and poweroff in {time.monotonic() - started:.1f} s')
finally:
    for process in [qemu, *cards]:
        process.kill()
        process.wait()
runs = sum(len(r[0]) for r in TABLE)
print(f'{runs - failed} passed, {failed} failed')
sys.exit(1 if failed else 0)
