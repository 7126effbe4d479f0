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
import json, os, re, socket, subprocess, sys, threading, time  # noqa: E401

build, kernel = sys.argv[1:3]
IO = '--pause=250 --gap=100'  # an emulated CPU turns around slowly
AWKWARD = b'\r\n\x03\x11\x13\x7f\x00\xff\x1a\x04\x1c\x15\x12\x16\x17\x0f\\'
SHOWN = ''.join(f'\\x{byte:02x}' for byte in AWKWARD)  # as --trace and --extra write it
UART, ADAPTER, SPARE = '/dev/ttyS1', '/dev/ttyUSB0', '/dev/ttyUSB1'
DIRTY = 'stty -F {port} cs7 parenb cstopb crtscts 115200'
WHILE_WAITING = ('unplug the adapter', 'kill the card')  # done once io_card's frame is at the card
HUNG_UP = b'io_card: Error reading from /dev/ttyUSB1: the device hung up or was unplugged\n'

# (ports, io_card's arguments after -p PORT and IO, or a shell command; what the
# runner does meanwhile; the frames the card receives; stdout; stderr; status; the
# line as QEMU last set it). SPARE is a fresh adapter, plugged in for its row,
# whose card never answers: io_card would wait out its pause of 5 s, so a run that
# ends within 1 s of the unplug or the kill saw the hang-up. The UART's card
# answers at once, so it is killed before its run.
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
    ((SPARE,), '--pause=5000 -g', 'unplug the adapter', ['get'], b'', HUNG_UP, 1, None),
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
    sim = subprocess.Popen([f'{build}/io_card_sim', *options], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    cards.append(sim)
    sim.log, sim.path = Lines(sim.stderr), Lines(sim.stdout).wait(lambda lines: lines[:1], 10)[0]
    return sim


def initramfs(modules):
    """A newc archive of init, busybox, io_card and its libraries, and the drivers."""
    def read(path):
        with open(path, 'rb') as file:
            return file.read()
    files = {'init': read(os.path.join(os.path.dirname(__file__), 'init')),
             'bin/busybox': read('/bin/busybox'), 'bin/io_card': read(f'{build}/io_card')}
    for path in re.findall(r'(/\S+) \(0x', subprocess.check_output(['ldd', f'{build}/io_card'], text=True)):
        files[path[1:]] = read(os.path.realpath(path))
    depends = dict(line.split(':') for line in read(f'{kernel}/{modules}/modules.dep').decode().splitlines())
    for driver in ('kernel/drivers/usb/host/xhci-pci.ko', 'kernel/drivers/usb/serial/ftdi_sio.ko'):
        for name in [driver, *depends[driver].split(), 'modules.dep']:
            files[f'{modules}/{name}'] = read(f'{kernel}/{modules}/{name}')
    entries, archive = {'proc': None, 'sys': None}, bytearray()
    for name, data in files.items():  # the kernel makes no folder by itself
        entries.update({name[:i]: None for i, c in enumerate(name) if c == '/' and name[:i] not in entries})
        entries[name] = data
    for number, (name, data) in enumerate([*entries.items(), ('TRAILER!!!', b'')], 1):
        mode = 0o40755 if data is None else 0o100755 if name != 'TRAILER!!!' else 0
        data = data or b''
        fields = (number, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0)
        archive += b'070701' + b''.join(b'%08x' % field for field in fields) + name.encode() + b'\0'
        archive += bytes(-len(archive) % 4) + data + bytes(-len(data) % 4)
    with open(f'{work}/initramfs', 'wb') as file:
        file.write(archive)


def qmp(command, **arguments):
    monitor.sendall(json.dumps({'execute': command, 'arguments': arguments}).encode())
    while 'return' not in (reply := json.loads(replies.readline())):  # events may come first
        if 'error' in reply:
            raise RuntimeError(f'{command}: {reply["error"]}')


def line_settings(lines):
    """How QEMU last set each port's line from what the guest wrote, as '9600 N 8 1'."""
    found = {}
    for line in lines:
        for key, pattern in ((UART, r"update_parameters baudrate=(\d+) parity='(.)' data=(\d) stop=(\d)"),
                             ('baud', r'usb_serial_set_baud dev \S+ baud rate (\d+)'),
                             ('data', r'usb_serial_set_data dev \S+ parity (.), data bits (\d), stop bits (\d)')):
            if m := re.search(pattern, line):
                found[key] = ' '.join(m.groups())
    return {**found, ADAPTER: f'{found.get("baud")} {found.get("data")}'}


def run(port, args, action, frames, out, err, status, line):
    """Runs one row; returns what went wrong, if anything, and how long it took."""
    sim = uart if port == UART else adapter
    command = args.format(port=port) if args.startswith('stty') else f'io_card -p {port} {IO} {args}'
    if port == SPARE:
        sim, name = card('--silent'), f'spare{len(cards)}'
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
    if action in WHILE_WAITING:
        sim.log.wait(lambda lines: lines[logged:], 60)  # io_card waits for the answer now
        started = time.monotonic()
        qmp('device_del', id=name) if action == 'unplug the adapter' else sim.terminate()
    answer = console.wait(lambda lines: next(
        (m for text in lines[said:] if (m := re.search(r'done (\d+) out=(\w*) err=(\w*)', text))), None), 60)
    took = time.monotonic() - started
    if not answer:
        return 'no answer from the machine within 60 s', took

    def sent(lines):  # the card's log without its answers
        return [text for text in lines[logged:] if not text.startswith(' ')]
    sim.log.wait(lambda lines: len(sent(lines)) >= len(frames), 10)
    trace.wait(lambda lines: not line or line_settings(lines[traced:])[port] == line, 10)
    got = (sent(sim.log.lines), int(answer[1]), bytes.fromhex(answer[2]),
           re.sub(rb'\d+\.\d ms', b'T ms', bytes.fromhex(answer[3])),
           line and line_settings(trace.lines[traced:])[port])
    problems = [f'{what}: {have!r}, not {want!r}' for what, have, want in
                zip(('frames', 'status', 'stdout', 'stderr', 'line'), got, (frames, status, out, err, line))
                if have != want]
    if action in WHILE_WAITING and took > 1:
        problems.append(f'{took:.2f} s after the {action}, not within 1 s')
    return '; '.join(problems), took


cards, work, failed = [], f'{build}/vm-run', 0
os.makedirs(work, exist_ok=True)
print(subprocess.check_output(['qemu-system-x86_64', '--version'], text=True).splitlines()[0])
initramfs('lib/modules/' + os.listdir(f'{kernel}/lib/modules')[0])
uart, adapter = card('--extra', SHOWN), card('--extra', SHOWN)
if os.path.exists(f'{work}/qmp'):
    os.unlink(f'{work}/qmp')
listener = socket.create_server(f'{work}/qmp', family=socket.AF_UNIX)
listener.settimeout(60)
started = time.monotonic()
# TCG alone: a nested KVM can take the guest and never boot it.
qemu = subprocess.Popen([
    'qemu-system-x86_64', '-accel', 'tcg', '-m', '256', '-nodefaults', '-no-user-config',
    '-display', 'none', '-no-reboot', '-kernel', f'{kernel}/vmlinux', '-initrd', f'{work}/initramfs',
    '-append', 'console=ttyS0,115200 quiet panic=-1',
    '-chardev', 'stdio,id=console,signal=off', '-serial', 'chardev:console',
    '-chardev', f'serial,id=uart,path={uart.path}', '-serial', 'chardev:uart',
    '-device', 'qemu-xhci', '-chardev', f'serial,id=adapter,path={adapter.path}',
    '-device', 'usb-serial,id=adapter,chardev=adapter',
    '-chardev', f'socket,id=qmp,path={work}/qmp', '-mon', 'chardev=qmp,mode=control',
    '-trace', 'serial_update_parameters', '-trace', 'usb_serial_set_*'],
    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
try:
    console, trace = Lines(qemu.stdout), Lines(qemu.stderr)
    monitor = listener.accept()[0]
    monitor.settimeout(60)
    replies = monitor.makefile('rb')
    replies.readline()  # the greeting
    qmp('qmp_capabilities')
    ready = console.wait(lambda lines: [text for text in lines if text.startswith('ready')], 120)
    if not ready:
        sys.exit('the machine did not boot within 120 s:\n' + '\n'.join(console.lines + trace.lines))
    print(f'booted Linux {ready[0].split()[1]} on TCG in {time.monotonic() - started:.1f} s')
    for port in (UART, ADAPTER, SPARE):
        for ports, args, action, *wants in TABLE:
            if port in ports:
                problem, took = run(port, args, action, *wants)
                failed += bool(problem)
                shown = f' [{action or "line " + wants[-1]}]' if action or wants[-1] else ''
                print(f'{"FAIL" if problem else "ok  "} {port} {args or "(port only)"}{shown}: '
                      f'{problem or f"{took:.2f} s"}'.replace('{port}', port)
                      + (' after it' if action in WHILE_WAITING and not problem else ''))
    qemu.stdin.write(b'poweroff -f\n')
    qemu.stdin.flush()
    qemu.wait(60)
    print(f'boot, the runs and poweroff: {time.monotonic() - started:.1f} s')
finally:
    for process in [qemu, *cards]:
        process.kill()
        process.wait()
runs = sum(len(ports) for ports, *_ in TABLE)
print(f'{runs - failed} passed, {failed} failed')
sys.exit(1 if failed else 0)
