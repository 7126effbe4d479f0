"""io_card in a virtual machine, on the kernel's own serial drivers.

Started by tools/vm-check: vm_test.py BUILD_DIR KERNEL_DIR. QEMU boots Debian's
kernel with io_card, usb_serial_sim, busybox and init beside this file. Each
adapter has a simulated card behind it:
- 8250: a 16550A UART (/dev/ttyS1) wired to io_card_sim on this host;
- FT232R, CH340, CP2102, PL2303: usb_serial_sim's model of the chip, plugged in
  through USB/IP (vhci_hcd) inside the machine, bound by the kernel's own
  ftdi_sio, ch341, cp210x and pl2303;
- ACM: a card that is its own USB device, a gadget's ACM function on dummy_hcd,
  the card on the gadget's /dev/ttyGS0 and io_card on cdc_acm's /dev/ttyACM0.

What it proves: on each, the frames the card receives, stdout byte for byte (an
answer holding every awkward byte included), stderr and the status of each run;
that io_card leaves the line at 9600 baud, 8N1, no flow control, whatever stty
left on it, as the chip saw it (the model's log, QEMU's trace of the UART,
usbmon's record of the ACM device's SET_LINE_CODING); that a card killed while
io_card waits leaves a silent line, and an adapter unplugged then ends the run
with a hang-up within 0.1 s; that a run without an answer leaves its mark on
the closed line and a good one clears it; on the FT232R model, that io_card
sets the latency timer to 1 ms for each run and puts it back on every way out
but SIGKILL, so that an answer begun 12 ms after a packet reaches --gap=10
whole; on the CH340, that nothing more is asked; and the FT232R's figures of
low latency, reported.

What it cannot prove: the chips are models of what their drivers ask and see,
not the silicon; the UART has three wires, no modem lines, so it cannot be
unplugged, and its card gone is silence.
"""
import os, re, subprocess, sys, threading, time  # noqa: E401

build, kernel = sys.argv[1:3]
IO = '--pause=250 --gap=100'  # an emulated CPU turns around slowly
# Runs of each kind that the figures of low latency take: few, unless asked.
RUNS = int(os.environ.get('IO_CARD_VM_SPEED', '5'))
AWKWARD = b'\r\n\x03\x11\x13\x7f\x00\xff\x1a\x04\x1c\x15\x12\x16\x17\x0f\\'
SHOWN = ''.join(f'\\x{byte:02x}' for byte in AWKWARD)  # as --trace and --extra write it
DIRTY = 'stty -F {port} cs7 parenb cstopb crtscts 115200'
HUNG_UP = b'io_card: Error reading from {port}: the device hung up or was unplugged\n'
NO_ANSWER = b'io_card: No answer from the card on {port}\n'
# The mark of an answer owed, ECHOPRT, as stty shows it after the run.
# busybox's stty asks its stdout, a file here, for a window size, and says so.
MARK = '; s=$?; stty -F {port} -a 2>/dev/null | grep -o -- "-*echoprt"; exit $s'
# The FT232R's latency timer as an administrator set it, 4 ms, for a run; 16 after.
TIMER_4 = 'echo 4 >{timer}; {run}; s=$?; echo 16 >{timer}; (exit $s)'
# A stop signal once the card has the frame (a bounded wait); the shell sees the
# death by the signal, 143. What the shell says of it, if anything, is left out.
SIGTERM = '{run} & p=$!; t=0; until tail -c +{since} {log} | grep -q " card {frame}" || [ $t -ge 1000 ]; do ' \
    'sleep 0.01; t=$((t + 1)); done; kill -TERM $p; wait $p 2>/dev/null'
CHIPS = ('FT232R', 'CH340', 'CP2102', 'PL2303')
ADAPTERS = ('8250', *CHIPS, 'ACM')
# The driver bound to each, as /sys/class/tty/NAME/device/driver names it.
DRIVERS = {'serial': '8250', 'ftdi_sio': 'FT232R', 'ch341-uart': 'CH340', 'cp210x': 'CP2102',
           'pl2303': 'PL2303', 'cdc_acm': 'ACM'}
# The line each saw from the dirty stty, and from io_card when its first byte
# went out. An FTDI chip divides 3 MHz: asked for 115200 baud, it runs at
# 115384. A CH340 divides 48 MHz: asked for 9600, 9615, as near as it gets.
# ch341 sets no flow control; a UART's trace and a CDC line coding show none.
DIRTIED = {'8250': '115200 7E2', 'FT232R': '115384 7E2 flow rts/cts', 'CH340': '115384 7E2 flow none',
           'CP2102': '115200 7E2 flow rts/cts', 'PL2303': '115200 7E2 flow rts/cts', 'ACM': '115200 7E2'}
# What --trace says of low latency on each: ftdi_sio and the 8250 keep the flag.
LATENCY = {'8250': 'set, until the port is closed', 'FT232R': 'set, until the port is closed',
           'CH340': 'not set: the driver does not keep the flag', 'CP2102': 'not set: the driver does not keep the flag',
           'PL2303': 'not set: the driver does not keep the flag', 'ACM': 'not set: the driver does not keep the flag'}
CLEAN = {'8250': '9600 8N1', 'FT232R': '9600 8N1 flow none', 'CH340': '9615 8N1 flow none',
         'CP2102': '9600 8N1 flow none', 'PL2303': '9600 8N1 flow none', 'ACM': '9600 8N1'}

# (adapters, io_card's arguments after -p PORT and IO, or a shell command; what
# happens meanwhile; the frames the card receives; stdout; stderr; status; the
# line the chip saw: 'dirty', DIRTIED's at some time in the run, 'clean', CLEAN's
# when io_card's first byte went out). 'first packet' is the bytes of the
# answer's first packet, fewer than its eight. A card killed or an adapter unplugged goes so
# once io_card's frame is at the card, which is made silent first so that io_card
# waits in its pause: killed, the line stays quiet and the run waits its pause
# out; unplugged, the run ends at once with the hang-up. The UART's card, on this
# host, is killed before its run.
ALL = ADAPTERS
USB = (*CHIPS, 'ACM')
TABLE = [
    (ALL, DIRTY, '', [], b'', b'', 0, 'dirty'),
    (ALL, '-g', '', ['get'], b'00000000' + AWKWARD, b'', 0, 'clean'),
    (ALL, '-s 10101010', '', ['set 10101010'], b'10101010', b'', 0, None),
    (ALL, '-g', '', ['get'], b'10101010' + AWKWARD, b'', 0, None),
    (ALL, '-2 on', '', ['get', 'set 11101010'], AWKWARD + b'11101010', b'', 0, None),
    (ALL, '-3 off --for=300', '', ['get', 'set 11001010', 'get', 'set 11101010'],
     AWKWARD + b'11001010' + AWKWARD + b'11101010', b'', 0, None),
    (ALL, '--verify -s 01010101', '', ['set 01010101', 'get'], b'01010101', b'', 0, None),
    (ALL, '--trace -g', '', ['get'], b'01010101' + AWKWARD,
     f'io_card: T ms low latency {{latency}}\nio_card: T ms > g\nio_card: T ms < 01010101{SHOWN}\n'.encode(), 0,
     None),
    # The mark of an answer owed outlives the port's close: a run that got no
    # answer leaves it, the next good run clears it.
    (USB, '(io_card -p {port} --pause=500 -g' + MARK + ')', 'silent card', ['get'], b'echoprt\n', NO_ANSWER, 1,
     None),
    (USB, '(io_card -p {port} {IO} -g' + MARK + ')', 'plain card', ['get'], b'01010101-echoprt\n', b'', 0, None),
    # Low latency (see LATENCY): with the timer an administrator set, as a
    # user in the device's group, and through SIGTERM with and without --for.
    (('FT232R',), TIMER_4.replace('{run}', 'io_card -p {port} {IO} -g'), '', ['get'], b'01010101', b'', 0, None),
    (('FT232R',), 'chgrp dialout {port} && chmod 660 {port} && su card -c "io_card -p {port} {IO} -g"', '',
     ['get'], b'01010101', b'', 0, None),
    (('FT232R',), TIMER_4.replace('{run}', SIGTERM.replace('{run}', 'io_card -p {port} {IO} -3 on --for=10000')
                                  .replace('{frame}', 'set')), '',
     ['get', 'set 01110101', 'get', 'set 01010101'], b'0111010101010101', b'', 143, None),
    (('FT232R',), SIGTERM.replace('{run}', 'io_card -p {port} --pause=5000 -g').replace('{frame}', 'get'),
     'silent card', ['get'], b'', b'', 143, None),
    # The eight states begin 12 ms after a packet: at the chip's 16 ms they came
    # in two packets 16 ms apart, which --gap=10 cut; at 1 ms, whole.
    (('FT232R',), '--pause=250 --gap=10 -g', 'the timer', ['get'], b'01010101', b'', 0, None),
    (('FT232R',), '', 'speed', [], b'', b'', 0, None),
    (('8250',), '(io_card -p {port} {IO} -g' + MARK + ')', 'kill the card first', [], b'echoprt\n', NO_ANSWER, 1,
     None),
    (USB, '--pause=500 -g', 'kill the card', ['get'], b'', NO_ANSWER, 1, None),
    # SIGKILL leaves the flag, which latency_timer then shows, and keeps the
    # timer at 1 ms whatever is written there (SET_LATENCY 1 again); the mark
    # the run left is cleared for the next.
    (('FT232R',), SIGTERM.replace('{run}', 'io_card -p {port} --pause=5000 -g').replace('{frame}', 'get')
     .replace('-TERM', '-KILL') + '; cat {timer}; echo 16 >{timer}; cat {timer}; stty -F {port} -echoprt 2>/dev/null',
     'silent card', ['get'],
     b'1\n1\n', b'', 0, None),
    (USB, '--pause=5000 -g', 'unplug the adapter', ['get'], b'', HUNG_UP, 1, None),
]


# Rules for what the chips are asked, from the model's log. The FT232R: each
# time io_card takes the port (the driver raises DTR and RTS, MODEM_CTRL 0x0303)
# and sends a command, SET_LATENCY 1 comes after the port's set-up and before
# the first command, and the timer as it was (16, or the 4 that TIMER_4 sets)
# after the last answer and before the close (DTR and RTS dropped, 0x0300); a
# taking of the port without a command (stty) asks nothing. The CH340: nothing
# but what runs asked before io_card asked for low latency.
CH340_ASKED = r'request (WRITE_REG 0x(1312|2518) |MODEM_CTRL |READ_REG 0x0706)'


def latency_problems(new, args, action):
    """What the FT232R's log says against the rules above."""
    if action == 'unplug the adapter':  # gone before the close: nothing to put back
        return []
    if '-KILL' in args:
        asked = [m[1] for text in new if (m := re.search(r'request SET_LATENCY (\d+)$', text))]
        return [] if asked == ['1', '1'] else [f'SET_LATENCY {asked}, not 1, and 1 again for the 16 written']
    back, problems, opened = '4' if 'echo 4' in args else '16', [], None
    for number, text in enumerate(new):
        if text.endswith('request MODEM_CTRL 0x0303'):
            opened = number
        elif text.endswith('request MODEM_CTRL 0x0300') and opened is not None:
            taken = new[opened:number]
            asked = [(i, m[1]) for i, t in enumerate(taken) if (m := re.search(r'request SET_LATENCY (\d+)$', t))]
            out = [i for i, t in enumerate(taken) if ' out ' in t]
            want = ['1', back] if out else []
            if [value for _, value in asked] != want:
                problems.append(f'SET_LATENCY {[value for _, value in asked]} while the port was taken, not {want}')
            elif out and not (asked[0][0] < out[0] and asked[1][0] > out[-1]):
                problems.append('SET_LATENCY 1 after the first command, or the timer put back before the last')
            opened = None
    return problems


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
    """A newc archive of init, busybox, the programs and their libraries, and the drivers."""
    def read(path):
        with open(path, 'rb') as file:
            return file.read()
    files = {'init': read(os.path.join(os.path.dirname(__file__), 'init')), 'extra': SHOWN.encode(),
             'bin/busybox': read('/bin/busybox')}
    for program in ('io_card', 'usb_serial_sim'):
        files[f'bin/{program}'] = read(f'{build}/{program}')
        for path in re.findall(r'(/\S+) \(0x', subprocess.check_output(['ldd', f'{build}/{program}'],
                                                                        text=True)):
            files[path[1:]] = read(os.path.realpath(path))
    depends = dict(line.split(':') for line in read(f'{kernel}/{modules}/modules.dep').decode().splitlines())
    for driver in ('usbip/vhci-hcd', 'serial/ftdi_sio', 'serial/ch341', 'serial/cp210x', 'serial/pl2303',
                   'class/cdc-acm', 'gadget/udc/dummy_hcd', 'gadget/function/usb_f_acm', 'mon/usbmon',
                   '../../fs/configfs/configfs'):
        driver = os.path.normpath(f'kernel/drivers/usb/{driver}.ko')
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


def shell(command, seconds=60):
    """Runs command in the machine: (status, stdout, stderr, what it wrote to
    descriptor 3), or None after seconds."""
    said = len(console.lines)
    qemu.stdin.write(command.encode() + b'\n')
    qemu.stdin.flush()
    answer = console.wait(lambda lines: next(
        (m for text in lines[said:] if (m := re.search(r'done (\d+) out=(\w*) err=(\w*) more=(\w*)', text))),
        None), seconds)
    return answer and (int(answer[1]), *(bytes.fromhex(answer[i]) for i in (2, 3, 4)))


def uart_line(lines):
    """The UART's line as QEMU last set it from what the guest wrote, as '9600 8N1'."""
    found = None
    for line in lines:
        if m := re.search(r"update_parameters baudrate=(\d+) parity='(.)' data=(\d) stop=(\d)", line):
            found = f'{m[1]} {m[3]}{m[2]}{m[4]}'
    return found


def acm_line(lines):
    """The last line coding that cdc_acm sent the ACM device, as usbmon shows it."""
    found = None
    for line in lines:
        if m := re.search(r' s 21 20 0000 0000 0007 7 = ([0-9a-f]{8}) ([0-9a-f]{6})', line):
            coding = bytes.fromhex(m[1] + m[2])
            found = (f'{int.from_bytes(coding[:4], "little")} {coding[6]}{"NOEMS"[coding[5]]}'
                     f'{("1", "1.5", "2")[coding[4]]}')
    return found


class Log:
    """A log in the machine, read a piece at a time by the runs' own commands."""

    def __init__(self, path):
        self.path, self.lines, self.read = path, [], 0

    def fetch(self):
        """A command that writes what is new in the log to descriptor 3, after a line '--- PATH'."""
        return f'echo "--- {self.path}" >&3; tail -c +{self.read + 1} {self.path} >&3'

    def take(self, more):
        """The log's new lines out of what the command wrote."""
        text = (more.split(f'--- {self.path}\n'.encode(), 1) + [b''])[1]
        text = text[:text.find(b'--- /run/')] if b'--- /run/' in text else text
        self.read += len(text)
        new = text.decode('latin-1').splitlines()
        self.lines += new
        return new


def run(adapter, port, args, action, frames, out, err, status, line):
    """Runs one row; returns what went wrong, if anything, and how long it took."""
    log = logs.get(adapter)
    command = f'io_card -p {port} {IO} {args}'
    if '{port}' in args:  # a shell command
        command = args.format(port=port, IO=IO, timer=f'/sys/bus/usb-serial/devices/{port[5:]}/latency_timer',
                              log=log and log.path, since=log and log.read + 1)
    if action == 'the timer':  # the default gap, or its own
        command = f'io_card -p {port} {args}'
    out, err = (x.replace(b'{port}', port.encode()).replace(b'{latency}', LATENCY[adapter].encode())
                if isinstance(x, bytes) else x for x in (out, err))
    if log:
        asks = {'kill the card': ['silent', 'kill-on-frame'], 'unplug the adapter': ['silent', 'unplug-on-frame 50'],
                'the timer': ['plain', 'phase 12'], 'silent card': ['silent'], 'plain card': ['plain']}.get(action, [])
        control = log.path.replace('.log', '.ctl')
        # Once the model has read them: a FIFO's reader takes its time.
        command = ''.join(f'echo {ask} >{control}; until grep -q "asked: {ask}$" {log.path}; do sleep 0.01; done; '
                          for ask in asks) + command + '; s=$?; '
        if action == 'unplug the adapter':  # when io_card saw the hang-up, on the log's clock
            command += 'read up _ </proc/uptime; echo "ended $up" >&3; '
        command += log.fetch() + (f'; {usbmon.fetch()}' if adapter == 'ACM' else '') + '; (exit $s)'
    elif action == 'kill the card first':
        uart.terminate()
        uart.wait(10)
    logged, traced = len(uart.log.lines), len(trace.lines)
    started = time.monotonic()
    answer = shell(command)
    took = time.monotonic() - started
    if not answer:
        return 'no answer from the machine within 60 s', took
    got_status, got_out, got_err, more = answer
    got_err = re.sub(rb'\d+\.\d ms', b'T ms', got_err)
    problems = []
    if log:
        new = log.take(more)
        sent = [m[1] for text in new if (m := re.match(r'\S+ card (\S.*)$', text))]
        if action == 'the timer' and got_out != out:  # a packet 10 ms after the one before, not the timer's 16
            times = [float(text.split()[0]) for text in new if re.match(r'\S+ in \w\w \w\w .', text)]
            apart = [round((b - a) * 1000, 1) for a, b in zip(times, times[1:])]
            if not any(13 <= ms <= 19 for ms in apart):
                return f'the machine lagged: packets {apart} ms apart', took
        if adapter == 'FT232R':
            problems += latency_problems(new, args, action)
        if adapter == 'CH340' and not args.startswith('stty'):  # the first reads its plugging in
            problems += [f'asked {text.split(" ", 2)[2]}' for text in new if ' request ' in text and
                         not re.search(CH340_ASKED, text)]
        if action == 'unplug the adapter':
            unplugged = next((float(text.split()[0]) for text in new if text.endswith(' unplugged')), 0)
            ended = float(re.search(rb'ended (\S+)', more)[1])
            if not 0 <= ended - unplugged <= 0.1:
                problems.append(f'the hang-up {ended - unplugged:.2f} s after the unplug, not within 0.1 s')
        # The line the chip had when the run's first byte went out, or, for a
        # run that sends none, the dirty line if the chip had it at any time.
        seen, had, first = None, [], len(log.lines) - len(new)
        for number, text in enumerate(log.lines):
            if m := re.match(r'\S+ line (.*)$', text):
                had.append((number, m[1]))
            elif number >= first and ' out ' in text and not seen:
                seen = had[-1][1] if had else None
        if line == 'dirty':
            during = [setting for number, setting in had if number >= first]
            seen = DIRTIED[adapter] if DIRTIED[adapter] in during else during[-1] if during else None
    else:
        uart.log.wait(lambda lines: len([t for t in lines[logged:] if not t.startswith(' ')]) >= len(frames), 10)
        sent = [text for text in uart.log.lines[logged:] if not text.startswith(' ')]
        trace.wait(lambda lines: not line or uart_line(lines[traced:]), 10)
        seen = uart_line(trace.lines[traced:])
    if adapter == 'ACM':
        usbmon.take(more)
        seen = acm_line(usbmon.lines)
    want_line = line and (DIRTIED if line == 'dirty' else CLEAN)[adapter]
    got = (sent, got_status, got_out, got_err, line and seen)
    problems += [f'{what}: {have!r}, not {want!r}' for what, have, want in
                 zip(('frames', 'status', 'stdout', 'stderr', 'line'), got, (frames, status, out, err, want_line))
                 if have != want]
    return '; '.join(problems), took


def answers(lines):
    """Each answer in the FT232R's log, an answer being the card's bytes after a
    command: (ms from its last byte off the modeled wire to the packet that
    carried it to the driver, the packets that carried it, the most ms between
    two of them), and each run's ms from its first command to that packet of
    its last answer."""
    char = 10 / 9600  # 8N1 at 9600 baud
    ends, carried, found, runs, first, last = [], [], [], [], None, None
    for text in lines + ['0 request MODEM_CTRL 0x0300']:
        at, what = text.split(' ', 1)
        if what.startswith('out '):
            first = first or float(at)
            ends.append([])
        elif m := re.match(r'wire (\d+) ends (\S+)$', what):
            ends[-1] += [float(m[2]) - (int(m[1]) - 1 - i) * char for i in range(int(m[1]))] if ends else []
        elif m := re.match(r'in \w\w \w\w ?(.*)$', what):
            carried += [float(at)] * len(unescape(m[1]))
        elif what == 'request MODEM_CTRL 0x0300' and first:  # the port's close
            for bytes_ in ends:
                if bytes_:
                    times, carried = carried[:len(bytes_)], carried[len(bytes_):]
                    packets = sorted(set(times))
                    found.append(((times[-1] - bytes_[-1]) * 1000, len(packets),
                                  max([(b - a) * 1000 for a, b in zip(packets, packets[1:])], default=0)))
                    last = times[-1]
            if last:
                runs.append((last - first) * 1000)
            ends, carried, first, last = [], [], None, None
    return found, runs


def speed(port, log):
    """RUNS runs each of -g and -3 on at the defaults, the timer at 1 ms, then
    half as many with the chip's timer held at 16 ms: what the model's log says."""
    figures, counts = {}, {0: RUNS, 16: max(RUNS // 2, 3)}
    for held, count in counts.items():
        for args in ('-g', '-3 on'):
            answer = shell(f'echo phase 0 >{log.path.replace(".log", ".ctl")}; '
                           f'echo hold-latency {held} >{log.path.replace(".log", ".ctl")}; '
                           f'until grep -q "asked: hold-latency {held}$" {log.path}; do sleep 0.01; done; '
                           f'for i in $(seq {count}); do io_card -p {port} {args} >/dev/null || exit; done; '
                           + log.fetch(), 120)
            if not answer or answer[0]:
                return [f'FAIL FT232R speed {args}: {answer and answer[2]}']
            figures[held, args] = answers(log.take(answer[3]))
    lines = []
    for timer, held in (('1 ms', 0), ('16 ms', 16)):
        found = [answer for (was, _), (got, _) in figures.items() if was == held for answer in got]
        delays = sorted(delay for delay, _, _ in found) or [0]
        lines.append(f'FT232R, the timer at {timer}, {len(found)} answers of {counts[held]} runs each of -g '
                     f'and -3 on: from the last byte off the wire to the driver median '
                     f'{delays[len(delays) // 2]:.2f} ms, 95% {delays[len(delays) * 95 // 100]:.2f} ms, most '
                     f'{delays[-1]:.2f} ms; {min(p for _, p, _ in found)} to {max(p for _, p, _ in found)} packets '
                     f'an answer, at most {max(a for _, _, a in found):.1f} ms apart')
    middle = {key: sorted(runs)[len(runs) // 2] if runs else 0 for key, (_, runs) in figures.items()}
    return lines + ['FT232R medians from the first command to the last answer at the driver, the timer at 1 ms '
                    'against 16 ms: ' + ', '.join(f'{args} {middle[0, args]:.1f} against {middle[16, args]:.1f} ms'
                                                  for args in ('-g', '-3 on'))]


def unescape(text):
    """The bytes of the model's log, which shows them as --trace does."""
    return re.sub(rb'\\x([0-9a-f]{2})', lambda m: bytes([int(m[1], 16)]), text.encode('latin-1'))


def ahead():
    """Ahead of ordinary processes where this runner may (as root), as the
    simulated card is: a busy host would otherwise hold the chips' timers back."""
    try:
        os.nice(-10)
    except OSError:
        pass


cards, work, failed, runs = [], f'{build}/vm-run', 0, 0
os.makedirs(work, exist_ok=True)
print(subprocess.check_output(['qemu-system-x86_64', '--version'], text=True).splitlines()[0])
initramfs('lib/modules/' + os.listdir(f'{kernel}/lib/modules')[0])
uart = card('--extra', SHOWN)
started = time.monotonic()


# TCG alone: a nested KVM can take the guest and never boot it.
qemu = subprocess.Popen([
    'qemu-system-x86_64', '-accel', 'tcg', '-m', '256', '-nodefaults', '-no-user-config',
    '-display', 'none', '-no-reboot', '-kernel', f'{kernel}/vmlinux', '-initrd', f'{work}/initramfs',
    '-append', 'console=ttyS0,115200 quiet panic=-1',
    '-chardev', 'stdio,id=console,signal=off', '-serial', 'chardev:console',
    '-chardev', f'serial,id=uart,path={uart.path}', '-serial', 'chardev:uart',
    '-trace', 'serial_update_parameters'],
    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=ahead)
logs = {name: Log(f'/run/{name.lower()}.log') for name in (*CHIPS, 'ACM')}
usbmon = Log('/run/acm.usbmon')
try:
    console, trace = Lines(qemu.stdout), Lines(qemu.stderr)
    ready = console.wait(lambda lines: [text for text in lines if text.startswith('ready')], 120)
    if not ready:
        sys.exit('the machine did not boot within 120 s:\n' + '\n'.join(console.lines + trace.lines))
    print(f'booted Linux {ready[0].split()[1]} on TCG in {time.monotonic() - started:.1f} s')
    ports = {}
    for text in shell('cd /sys/class/tty; for t in ttyS1 ttyUSB* ttyACM0; do '
                      'echo $t $(basename $(readlink $t/device/driver)); done')[1].decode().splitlines():
        name, driver = text.split()
        if driver in DRIVERS:
            ports[DRIVERS[driver]] = (f'/dev/{name}', driver)
    for adapter in ADAPTERS:
        if adapter not in ports:
            print(f'FAIL {adapter}: no device bound to its driver ({ports})')
            failed += 1
            continue
        port, driver = ports[adapter]
        for adapters, args, action, *wants in TABLE:
            if adapter in adapters and action == 'speed':  # reported, not judged: under TCG the guest lags
                report = speed(port, logs[adapter])
                print('\n'.join(report))
                failed += report[0].startswith('FAIL')
            elif adapter in adapters:
                runs += 1
                problem, took = run(adapter, port, args, action, *wants)
                # A busy host can hold the machine back for longer than the
                # margin between the timer and the gaps: an answer that io_card
                # read as no fault of its own would. A fault fails every time.
                for _ in range(3 if action == 'the timer' else 0):
                    if problem:
                        print(f'     {adapter} {args} [{action}]: {problem}; again')
                        problem, took = run(adapter, port, args, action, *wants)
                failed += bool(problem)
                want_line = wants[-1]
                shown = f' [{action or "line " + (DIRTIED if want_line == "dirty" else CLEAN)[adapter]}]' \
                    if action or want_line else ''
                print(f'{"FAIL" if problem else "ok  "} {adapter} {port} ({driver}) '
                      f'{args.replace(" -F {port}", "") or "(port only)"}{shown}: '
                      f'{problem or f"{took:.2f} s"}')
    # The logs, whole, for a look at what the chips saw.
    more = shell('; '.join(log.fetch() for log in logs.values()))[3]
    for name, log in logs.items():
        log.take(more)
        with open(f'{work}/{name}.log', 'w') as file:
            file.write(''.join(text + '\n' for text in log.lines))
    print(f'the models\' logs are in {work}')
    qemu.stdin.write(b'poweroff -f\n')
    qemu.stdin.flush()
    qemu.wait(60)
    print(f'boot, the runs and poweroff: {time.monotonic() - started:.1f} s')
finally:
    for process in [qemu, *cards]:
        process.kill()
        process.wait()
print(f'{runs - failed} passed, {failed} failed')
sys.exit(1 if failed else 0)
