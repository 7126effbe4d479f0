#!/usr/bin/python3
"""Runs the examples of README.md, docs/*.md and the manual pages, as they are.

    docs_test.py IO_CARD IO_CARD_SIM FAILING_CALLS SOURCE_DIR

An example whose first line begins with "$ " is a transcript: each command
runs in one bash, in a folder of its own with io_card and io_card_sim on the
PATH (and as build/demo/...), and what it prints to standard output and error
must be what the example shows after it. "PROGRAM ARGS &" starts a card of the
transcript's own, whose path stands for the example's /dev/pts/N. A comment
just before the example says what else it needs:

    <!-- card: ARGS -->      (man: .\\" card: ARGS) the example's port is a
                             simulated card started with ARGS; "ftdi" among
                             them gives io_card the serial flags of an FTDI
                             adapter's driver
    <!-- not shell -->       a configuration, a formula or a program's output
    <!-- bench: 'TABLE' 'ROW' FIGURE -->  after a paragraph that quotes
                             FIGURE: the median of ROW in the bench's TABLE in
                             the sample run of docs/development.md, within a
                             factor of 2

Every other example is a command for a real card, sudo or a network, checked
by bash -n alone. Decimal figures in milliseconds may differ, as may a
background job's process id. Exits 1 with each difference, naming the file
and line of the example.
"""
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

IO_CARD, IO_CARD_SIM, FAILING_CALLS, SOURCE = (os.path.abspath(path) for path in sys.argv[1:5])
PORT = re.compile(r"/dev/(?:pts/\d+|ttyUSB\d+)")
MARK = re.compile(r"^(?:<!--|\.\\\")\s*(card:.*?|not shell|bench:.*?)\s*(?:-->)?\s*$")


def markdown_examples(path):
    """(line, text, marker) of each code block, and each bench marker with
    the text of the paragraph before it."""
    xml = subprocess.run(["cmark-gfm", "--sourcepos", "-t", "xml", path], check=True,
                         capture_output=True, text=True).stdout
    lines = open(path, encoding="utf-8").read().split("\n")
    marker, before, found = None, "", []
    for node in ElementTree.fromstring(xml).iter():
        tag = node.tag.split("}")[-1]
        span = node.get("sourcepos")
        if tag == "html_block":
            match = MARK.match(node.text.strip())
            marker = match.group(1) if match else None
            if marker and marker.startswith("bench:"):
                found.append((int(span.split(":")[0]), before, marker))
                marker = None
        elif tag == "paragraph":
            first, last = (int(part.split(":")[0]) for part in span.split("-"))
            before = " ".join(lines[first - 1:last])
            marker = None
        elif tag == "code_block":
            found.append((int(span.split(":")[0]), node.text or "", marker))
            marker = None
    return found


def unroff(line):
    for escape, plain in (("\\-", "-"), ("\\(aq", "'"), ("\\~", " "), ("\\&", ""), ("\\e", "\\")):
        line = line.replace(escape, plain)
    return line


def manual_examples(path):
    found, marker, block = [], None, None
    for number, line in enumerate(open(path, encoding="utf-8").read().split("\n"), 1):
        if line == ".EX":
            block, start = [], number + 1
        elif line == ".EE":
            found.append((start, "\n".join(block) + "\n", marker))
            block, marker = None, None
        elif block is not None:
            block.append(unroff(line))
        elif MARK.match(line):
            marker = MARK.match(line).group(1)
    return found


def normal(text):
    text = re.sub(r"\d+\.\d+ ms", "#.# ms", text)
    return re.sub(r"(?m)^\[(\d+)\] \d+$", r"[\1] PID", text)


def transcript(text):
    """The commands of a transcript, and the output that follows each."""
    commands, outputs, lines = [], [], []
    for number, line in enumerate(text[:-1].split("\n") if text.endswith("\n") else text.split("\n")):
        match = re.match(r"^([^ $]*)\$(?: (.*))?$", line)
        if match and (commands or not match.group(1)):
            if commands:
                outputs[-1] += match.group(1)
            if match.group(2) is None:
                break
            commands.append(match.group(2))
            outputs.append("")
            lines.append(number)
        elif commands:
            outputs[-1] += line + "\n"
    return commands, outputs, lines


def run_transcript(text, marker, work, first):
    commands, expected, lines = transcript(text)
    names = set(PORT.findall(text))
    if len(names) > 1:
        return "names more than one port"
    shown = names.pop() if names else None
    bin_dir = os.path.join(work, "bin")
    script = ["exec 2>&1", "cd " + shlex.quote(work),
              "export PATH=" + shlex.quote(bin_dir) + ":$PATH",
              "wait_for() { for _ in $(seq 100); do [ -s \"$1\" ] && return; sleep 0.05; done; }"]
    if marker and marker.startswith("card:"):
        words = shlex.split(marker[5:])
        if "ftdi" in words:
            words.remove("ftdi")
            shutil.copy(FAILING_CALLS, os.path.join(work, "flags.so"))
            open(os.path.join(work, "flags"), "w").write("0\n")
            os.remove(os.path.join(bin_dir, "io_card"))  # a link to the program itself
            open(os.path.join(bin_dir, "io_card"), "w").write(
                "#!/bin/bash\n# AddressSanitizer would refuse a library loaded ahead of its runtime.\n"
                "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD={0}/flags.so IO_CARD_SERIAL_FLAGS={0}/flags"
                " exec -a io_card {1} \"$@\"\n"
                .format(shlex.quote(work), shlex.quote(IO_CARD)))
            os.chmod(os.path.join(bin_dir, "io_card"), 0o755)
        script += ["io_card_sim " + shlex.join(words) + " >card 2>/dev/null &",
                   "wait_for card; PORT=$(head -n 1 card)"]
    elif shown and not re.search(r"io_card_sim\b.*&\s*$", commands[0]):
        return "names a port but starts no card: a card: comment before it says how to start one"
    jobs = 0
    for command in commands:
        line = PORT.sub("$PORT", command)
        script.append("__status=$?; printf '\\001'; (exit $__status)")
        if re.search(r"io_card_sim\b.*&\s*$", line):
            jobs += 1
            script += [line[:line.rindex("&")] + ">started &", "echo \"[%d] $!\"" % jobs,
                       "wait_for started; cat started; PORT=$(head -n 1 started); rm started"]
        else:
            script.append(line)
    script += ["printf '\\001'", "kill $(jobs -p) 2>/dev/null; wait"]
    shell = subprocess.Popen(["bash", "-c", "\n".join(script)], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, start_new_session=True)
    try:
        output = shell.communicate(timeout=60)[0].decode(errors="replace")
    except subprocess.TimeoutExpired:
        os.killpg(shell.pid, signal.SIGKILL)
        shell.communicate()
        return "did not end within 60 seconds"
    finally:
        try:
            os.killpg(shell.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    pieces = output.split("\001")[1:-1]
    if shown:
        pieces = [re.sub(r"/dev/pts/\d+", shown, piece) for piece in pieces]
    differences = []
    for number, command in enumerate(commands):
        got = pieces[number] if number < len(pieces) else "(nothing: the transcript ended)\n"
        if normal(got) != normal(expected[number]):
            differences.append("line %d: $ %s\n  shown:   %r\n  printed: %r"
                               % (first + lines[number], command, expected[number], got))
    return "\n".join(differences)


def bench_table(examples):
    for _, text, marker in examples:
        if marker == "not shell" and "runs each against the simulated card" in text.split("\n")[0]:
            return text
    return ""


def check_bench(marker, paragraph, table):
    match = re.match(r"bench:\s*'([^']*)'\s*'([^']*)'\s*([\d.]+)$", marker)
    if not match:
        return "a bench marker is 'TABLE' 'ROW' FIGURE"
    title, row, figure = match.groups()
    if not re.search(r"(?<![\d.])" + re.escape(figure) + r"(?![\d])", paragraph):
        return "the paragraph before does not quote " + figure
    tables = [part for part in table.split("\n\n") if part.startswith(title)]
    if not tables:
        return "the bench's sample has no table " + repr(title)
    rows = [line for line in tables[0].split("\n") if line.startswith(row + "  ")]
    if not rows:
        return "the bench's table %r has no row %r" % (title, row)
    median = float(rows[0][len(row):].split()[0])
    if not 0.5 <= float(figure) / median <= 2:
        return "%s is not within a factor of 2 of the bench's %s" % (figure, median)
    return ""


def main():
    files = ["README.md"] + sorted("docs/" + name for name in os.listdir(os.path.join(SOURCE, "docs"))
                                    if name.endswith(".md"))
    examples = {name: markdown_examples(os.path.join(SOURCE, name)) for name in files}
    for name in ("man/io_card.1.in", "man/io_card_sim.1.in"):
        examples[name] = manual_examples(os.path.join(SOURCE, name))
    table = bench_table(examples["docs/development.md"])
    failures, counts = [], {"run": 0, "syntax": 0, "not shell": 0, "bench": 0}
    for name, found in examples.items():
        for line, text, marker in found:
            if marker and marker.startswith("bench:"):
                counts["bench"] += 1
                problem = check_bench(marker, text, table)
            elif marker == "not shell":
                counts["not shell"] += 1
                continue
            elif text.startswith("$ "):
                counts["run"] += 1
                work = tempfile.mkdtemp(prefix="io_card_docs.")
                try:
                    os.makedirs(os.path.join(work, "bin"))
                    os.makedirs(os.path.join(work, "build", "demo"))
                    for program, target in (("io_card", IO_CARD), ("io_card_sim", IO_CARD_SIM)):
                        os.symlink(target, os.path.join(work, "bin", program))
                        os.symlink(target, os.path.join(work, "build", "demo", program))
                    problem = run_transcript(text, marker, work, line)
                finally:
                    shutil.rmtree(work)
            else:
                counts["syntax"] += 1
                checked = subprocess.run(["bash", "-n"], input=text, capture_output=True, text=True)
                problem = checked.stderr.replace("bash: ", "")
            if problem:
                what = "the figure differs from the bench's" if marker and marker.startswith("bench:") \
                    else "the example differs from what runs"
                failures.append("%s:%d: %s:\n%s" % (name, line, what, problem.rstrip()))
    print("%(run)d transcripts run, %(syntax)d commands checked for syntax, "
          "%(bench)d bench figures, %(not shell)d examples not shell" % counts)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
