// Whole runs of the built io_card against the simulated card: the bytes on the
// wire, stdout byte for byte, stderr and the exit status.
//
// Rows on the clock (on_the_clock) run io_card with its own pause and gap. As
// root, as CI runs them, the simulated card's thread runs at real-time priority
// and io_card at nice -20, so that both keep their time on a loaded machine. As
// another user neither can, and a machine busy enough to hold the card's thread
// back for a gap (20 ms) can fail those rows; every other row has time enough
// for any load.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "card_sim.h"
#include "harness.h"
#include "serial_line.h"

namespace {

using namespace std::string_literals;

TEST(Run, SetAndGetStages) {
    auto silent_set = card_with("01100110");
    silent_set.set.max_bytes = 0;
    auto silent_get = card_with("01100110");
    silent_get.get.max_bytes = 0;
    auto late_set = card_with("01100110");
    late_set.set.delay_ms = 70;
    auto crlf = card_with("01100110");
    crlf.get.extra = "\r\n";
    auto late_get = card_with("01100110");
    late_get.get.delay_ms = 80;
    auto stuck = card_with("00000000");
    stuck.stuck = true;
    // Bytes that a line not set raw would take for its own, then the backslash.
    auto awkward = card_with("00000000");
    awkward.get.extra =
        "\r\n\x03\x11\x13\x7f\x00\xff\x1a\x04\x1c\x15\x12\x16\x17\x0f\\"s + std::string(250, '.');
    // Eight bytes that all need \xNN: C1 CSI, ESC, DEL, the backslash, CR, LF, 0xff.
    auto controls = card_with("00000000");
    controls.get.bytes = "\xc2\x9b\x1b\x7f\\\r\n\xff";
    const std::string not_held = "io_card: the card on {port} holds ";

    // clang-format off
    const wire_case cases[] = {
        {"port only", {}, {}, "", "", "", 0},
        {"set then get", {}, {"-s", "10101010", "-g"}, "s10101010sg", "1010101010101010", "", 0},
        {"get prints the states", crlf, {"-g"}, "g", "01100110\r\n", "", 0},
        {"silent set is fine", silent_set, {"-s", "11110000", "-g"}, "s11110000sg", "11110000", "", 0},
        {"get needs an answer", silent_get, {"-g"}, "g", "",
         "io_card: No answer from the card on {port}\n", 1},
        {"what came before a silent get is kept, and printed first", silent_get, {"-s", "00000001", "-g"},
         "s00000001sg", "00000001io_card: No answer from the card on {port}\n", "", 1, {}, "2>&1"},
        on_the_clock({"a late answer shows in the next stage", late_set, {"-s", "11110000", "-g"},
                      "s11110000sg", "1111000011110000", "", 0}),
        on_the_clock({"a longer pause waits for a slow card", late_get, {"--pause=200", "-g"}, "g",
                      "01100110", "", 0}),
        // The read-back is the program's own: it is never printed.
        {"--verify: a stuck card", stuck, {"--verify", "-s", "10101010"}, "s10101010sg", "10101010",
         not_held + "00000000, not 10101010\n", 1},
        {"--verify: the card's bytes shown as --trace shows them", controls, {"--verify", "-s", "10101010"},
         "s10101010sg", "10101010", not_held + "\\xc2\\x9b\\x1b\\x7f\\x5c\\x0d\\x0a\\xff, not 10101010\n", 1},
        {"--verify: no states back", silent_get, {"--verify", "-s", "10101010"}, "s10101010sg", "10101010",
         not_held + "(no answer), not 10101010\n", 1},
        // Passed through unchanged and never echoed; --trace shows every byte.
        {"--trace shows every byte", awkward, {"--trace", "-s", "10101010", "-g"}, "s10101010sg",
         "1010101010101010" + awkward.get.extra, no_serial_flags + "io_card: T ms > s10101010s\nio_card: T ms < 10101010\n"
         "io_card: T ms > g\nio_card: T ms < 10101010\\x0d\\x0a\\x03\\x11\\x13\\x7f\\x00\\xff\\x1a\\x04\\x1c"
         "\\x15\\x12\\x16\\x17\\x0f\\x5c" + std::string(250, '.') + "\n", 0},
    };
    // clang-format on
    for (const auto& c : cases) expect_run(c);
}

TEST(Run, LineIsSetUpRawAt9600By8N1) {
    const card_sim::simulated_card card;
    const int fd = open(card.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_NE(fd, -1);
    termios line{};
    ASSERT_EQ(tcgetattr(fd, &line), 0);
    ASSERT_TRUE(line.c_lflag & ICANON) << "the simulated line should start cooked";
    // Left dirty by another program; a pseudo-terminal keeps 8 bits, no parity and
    // the receiver on whatever it is asked. HUPCL is the device's business: set
    // here, it must still be set after the run.
    line.c_cflag |= HUPCL | CSTOPB | CRTSCTS | PARENB | CS7;
    line.c_cflag &= ~static_cast<tcflag_t>(CLOCAL | CREAD);
    line.c_iflag |= IXOFF | IXANY;
    cfsetspeed(&line, B115200);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &line), 0);

    EXPECT_EQ(run_io_card({"-p", card.path()}).status, 0);
    ASSERT_EQ(tcgetattr(fd, &line), 0);
    EXPECT_EQ(cfgetispeed(&line), B9600);
    EXPECT_EQ(cfgetospeed(&line), B9600);
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              tcflag_t{CS8 | CLOCAL | CREAD});
    EXPECT_EQ(line.c_cflag & HUPCL, tcflag_t{HUPCL});
    EXPECT_EQ(line.c_lflag & (ICANON | ISIG | ECHO | ECHONL | IEXTEN), 0u);
    EXPECT_EQ(
        line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | BRKINT | PARMRK),
        0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_cc[VMIN], 0);
    EXPECT_EQ(line.c_cc[VTIME], 10);

    // tcsetattr succeeds when any part of a change takes. Root can lock a
    // setting so that it does not take, and then nothing may be sent.
    if (geteuid() == 0) {
        line.c_cflag |= CSTOPB;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &line), 0);
        termios lock{};
        lock.c_cflag = CSTOPB;
        ASSERT_EQ(ioctl(fd, TIOCSLCKTRMIOS, &lock), 0);
        const run_result result = run_io_card({"-p", card.path(), "-s", "11111111"});
        EXPECT_EQ(result.err, "io_card: Error setting up " + card.path() +
                                  ": the line did not take 9600 baud, 8N1, raw\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(card.received(), "");
    }
    close(fd);
}

// Whatever happened before a run, the card gets only its frames and the run reads
// only answers to them.
TEST(Run, HostileStarts) {
    auto silent = card_with("01010101");
    silent.get.max_bytes = 0;
    const std::string lost = "io_card: Error writing to standard output: ";
    // clang-format off
    const wire_case cases[] = {
        {"stale bytes are not an answer", card_with("00000000"), {"-s", "11111111", "-g"},
         "s11111111sg", "1111111111111111", "", 0, "00000000"},
        {"stale bytes are not the states", card_with("11111110"), {"-8", "on"},
         "gs11111111s", "11111111", "", 0, "00000000\r\n"},
        on_the_clock({"an idle line costs no gap", {}, {"--gap=10000"}, "", "", "", 0}),
        {"stdin and stdout closed", card_with("01010101"), {"-g"}, "g", "", "", 0, {}, "<&- >&-"},
        {"stderr closed", silent, {"-g"}, "g", "", "", 1, {}, "2>&-"},
        {"four descriptors are enough", card_with("01010101"), {"-g"}, "g", "01010101", "", 0, {}, "ulimit -n 4;"},
        {"stdout over the file size limit", card_with("01010101"), {"-g"}, "g", "", lost + "File too large\n", 1,
         {}, "f=$(mktemp); exec 3>\"$f\"; rm \"$f\"; ulimit -f 0; >&3 3>&-"},
        {"help to a full disk", {}, {"--help"}, "", "", lost + "No space left on device\n", 1, {}, ">/dev/full"},
#ifndef __SANITIZE_ADDRESS__  // whose runtime spins where it cannot fill descriptors 0 to 2
        {"no descriptor for a closed stdout", {}, {"-g"}, "", "", "", 1, {}, "exec <&- >&-; ulimit -n 1;"},
#endif
    };
    // clang-format on
    for (const auto& c : cases) expect_run(c);
#ifdef __SANITIZE_ADDRESS__
    std::printf("AddressSanitizer: a closed stdout with no descriptor to spare is not tried\n");
#endif
}

TEST(Run, HostileDevices) {
    char scratch[] = "/tmp/io_card_test.XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    const std::string file = scratch + "/notes.txt"s;
    const std::string notes = "do not overwrite\n";
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(write(fd, notes.data(), notes.size()), static_cast<ssize_t>(notes.size()));
    close(fd);
    struct device_case {
        std::vector<std::string> args;
        std::string err;
        int status;
        int waits_ms = 0;  // at least
    };
    const auto refused = [](const std::string& path) {
        return "io_card: " + path + " is not a serial line\n";
    };
    // clang-format off
    const device_case cases[] = {
        {{"-p", "/nonexistent/ttyS9", "-g"},
         "Error opening /nonexistent/ttyS9!\nio_card: /nonexistent/ttyS9: No such file or directory\n", 1},
        {{"-p", "/nonexistent/\x1b]0;owned\x07", "-g"}, "Error opening /nonexistent/\\x1b]0;owned\\x07!\n"
         "io_card: /nonexistent/\\x1b]0;owned\\x07: No such file or directory\n", 1},
        {{"-p", scratch, "-g"}, "Error opening "s + scratch + "!\nio_card: " + scratch + ": Is a directory\n", 1},
        // The null device is a dry run: a pattern is taken, -g waits its pause for no answer.
        {{"-p", "/dev/null", "--gap=10000", "-s", "10101010"}, "", 0},
        {{"-p", "/dev/null", "--pause=300", "-g"}, "io_card: No answer from the card on /dev/null\n", 1, 300},
        // Devices and files that give anything but a card's answers.
        {{"-p", "/dev/zero", "-g"}, refused("/dev/zero"), 1},
        {{"-p", file, "-s", "10101010"}, refused(file), 1},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto began = std::chrono::steady_clock::now();
        const run_result result = run_io_card(c.args);
        EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(c.waits_ms));
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, c.status);
    }
    EXPECT_EQ(read_file(file), notes);
    unlink(file.c_str());
    rmdir(scratch);

    // Denied the device, a user learns the remedy where joining its group would
    // help: not where the group may not use it, nor where the user is in it and
    // denied as its owner. Root is never denied, so the run drops to nobody first;
    // only root can.
    if (geteuid() != 0) {
        std::printf("not root: a denied device and a setuid copy are not checked\n");
        return;
    }
    const card_sim::simulated_card card;
    // The device is in group 20 (dialout), the user in 5 (tty) as well: the kernel
    // keeps a user's groups sorted, so the device's group is not the first.
    for (const auto& [mode, owner, groups] : {std::tuple{0660, 0, "--clear-groups"},
                                              {0660, 0, "--groups=5"},
                                              {0600, 0, "--clear-groups"},
                                              {0060, 65534, "--groups=5,20"}}) {
        ASSERT_EQ(chmod(card.path().c_str(), static_cast<mode_t>(mode)), 0);
        ASSERT_EQ(chown(card.path().c_str(), static_cast<uid_t>(owner), 20), 0);
        auto denied = spawn(
            "/usr/bin/setpriv", "setpriv",
            {"--reuid=65534", "--regid=65534", groups, IO_CARD_PATH, "-p", card.path(), "-g"});
        const run_result result = finish(denied, 10000);
        EXPECT_EQ(result.err, "Error opening " + card.path() + "!\n" + IO_CARD_PATH + ": " +
                                  card.path() + ": Permission denied" +
                                  (mode == 0660 ? " (add your user to the device's group, usually "
                                                  "dialout, and log in again)\n"
                                                : "\n"));
        EXPECT_EQ(result.status, 1);
    }

    // Installed setuid root, the program would open any terminal for anyone. It
    // says so under the name it was run by, however short, and with no arguments.
    char place[] = "/tmp/io_card_setuid.XXXXXX";
    ASSERT_NE(mkdtemp(place), nullptr);
    const std::string copy = place + "/io_card"s;
    const std::string program = read_file(IO_CARD_PATH);
    const int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
    ASSERT_EQ(write(out, program.data(), program.size()), static_cast<ssize_t>(program.size()));
    close(out);
    struct statvfs mount {};
    if (chmod(place, 0755) == 0 && chmod(copy.c_str(), 04755) == 0 && statvfs(place, &mount) == 0 &&
        (mount.f_flag & ST_NOSUID) == 0) {
        auto borrowed = spawn("/usr/bin/setpriv", "setpriv",
                              {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash",
                               "-c", "exec -a x \"$0\"", copy});
        const run_result refused = finish(borrowed, 10000);
        EXPECT_EQ(refused.err,
                  "x: must not be installed setuid or setgid: give access to a card through its "
                  "device's group\n");
        EXPECT_EQ(refused.status, 1);
    }
    unlink(copy.c_str());
    rmdir(place);
}

// The user's own terminal, under any name, and the kernel's console are refused
// and left as they were. The run leads a session on a fresh pseudo-terminal, as a
// login shell does.
TEST(Run, RefusesTheUsersOwnTerminalAndTheConsole) {
    // Opened first, so that the terminal's minor number, which the console's list
    // shows, is not 0.
    const card_sim::simulated_card first;
    // Mute: the messages carry io_card's path, whose letters are no commands.
    card_sim::behaviour watched;
    watched.mute = true;
    const card_sim::simulated_card terminal(watched);
    const int fd = open(terminal.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios before{};
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    const std::string name = IO_CARD_PATH + ": "s;
    const std::string refused = name + terminal.path() +
                                " is your own terminal, not a serial line\n" + name +
                                "it is this run's standard ";
    // The controlling terminal under any name; without one, the terminal that a
    // stream of the run's is on. A message to that terminal is all it gets.
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/tty", "--ctty \"$0\" -p /dev/tty -g <\"$1\""},
        {terminal.path(), "--ctty \"$0\" -p \"$1\" -g <\"$1\""},
        {"/dev/stdin", "--ctty \"$0\" -p /dev/stdin -g <\"$1\""},
        {terminal.path(), "\"$0\" -p \"$1\" -g >\"$1\""},
        {terminal.path(), "\"$0\" -p \"$1\" -g 2>\"$1\""},
    };
    for (const auto& [port, command] : cases) {
        SCOPED_TRACE(command);
        auto run = spawn("/bin/bash", "bash",
                         {"-c", "exec setsid " + command, IO_CARD_PATH, terminal.path()});
        const run_result result = finish(run, 10000);
        const bool ctty = command.find("--ctty") != std::string::npos;
        EXPECT_EQ(result.err, ctty ? name + port + " is your own terminal, not a serial line\n"
                              : command.find(" >") != std::string::npos ? refused + "output\n"
                                                                        : "");
        EXPECT_EQ(result.status, 1);
    }
    // The console, in a private mount namespace whose /proc/consoles names it,
    // where one can be made: after another console, and at the head of a list
    // longer than the 4 KiB that io_card reads of it. A terminal whose number has
    // a 9, as ttyS5's 4:69 has, so that every digit is read.
    const auto system_console = [](const std::string& path) {
        return "io_card: " + path +
               " is the system console, not a card's line\nio_card: the kernel writes its "
               "messages to it; move the console with console= on the kernel's command line, "
               "or use another port\n";
    };
    std::vector<int> held;
    std::string console;
    struct stat device {};
    while (console.empty() && held.size() < 100) {
        held.push_back(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(held.back() != -1 && grantpt(held.back()) == 0 && unlockpt(held.back()) == 0);
        ASSERT_EQ(stat(ptsname(held.back()), &device), 0);
        if (std::to_string(minor(device.st_rdev)).find('9') != std::string::npos) {
            console = ptsname(held.back());
        }
    }
    ASSERT_FALSE(console.empty());
    const std::string entry = "ttyS0                -W- (EC  p a)    " +
                              std::to_string(major(device.st_rdev)) + ":" +
                              std::to_string(minor(device.st_rdev)) + "\n";
    const std::string list = "/tmp/io_card_test_consoles." + std::to_string(getpid());
    auto unshared = spawn("/usr/bin/unshare", "unshare", {"-rm", "true"});
    const bool private_mounts = finish(unshared, 10000).status == 0;
    for (const std::string& consoles :
         {"tty0 -WU (E  p  ) 4:1\n" + entry, entry + std::string(5000, 'x')}) {
        if (!private_mounts) break;
        const int list_fd = open(list.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_EQ(write(list_fd, consoles.data(), consoles.size()),
                  static_cast<ssize_t>(consoles.size()));
        close(list_fd);
        auto refused_console =
            spawn("/usr/bin/unshare", "unshare",
                  {"-rm", "bash", "-c",
                   "mount --bind \"$1\" /proc/consoles && exec -a io_card \"$0\" -p \"$2\" -g",
                   IO_CARD_PATH, list, console});
        const run_result result = finish(refused_console, 10000);
        EXPECT_EQ(result.err, system_console(console));
        EXPECT_EQ(result.status, 1);
    }
    if (!private_mounts)
        std::printf("no private mount namespace: the console's refusal is not checked\n");
    // /dev/console itself, which no list names, where this user may open it.
    struct stat dev_console {};
    if (stat("/dev/console", &dev_console) == 0 && dev_console.st_rdev == makedev(5, 1) &&
        access("/dev/console", R_OK | W_OK) == 0) {
        const run_result result = run_io_card({"-p", "/dev/console", "-g"});
        EXPECT_EQ(result.err, system_console("/dev/console"));
        EXPECT_EQ(result.status, 1);
    }
    unlink(list.c_str());
    for (const int master : held) close(master);
    termios after{};
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    close(fd);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    // The terminal is cooked: it ends each line it is given with CR LF.
    EXPECT_EQ(terminal.received(), refused.substr(0, refused.find('\n')) + "\r\n" +
                                       refused.substr(refused.find('\n') + 1) + "error\r\n");
}

// Calls that fail or fall short, as a line, a driver or the kernel may end them:
// the run goes on where it can, and otherwise says why. A frame leaves in one
// write, so that a signal finds it either unsent or sent, and whole however
// little the line takes at a time.
TEST(Run, CallsThatFailOrFallShort) {
    auto one_byte = card_with("00000000");
    one_byte.get.bytes = "x";
    const std::string hung_up = "the device hung up or was unplugged\n";
    const std::string reading = "io_card: Error reading from {port}: ";
    const std::string writing = "io_card: Error writing to {port}: ";
    struct fault_case {
        const char* fault;  // as IO_CARD_FAULT tells tests/failing_calls.cpp
        wire_case run;
    };
    // clang-format off
    const fault_case cases[] = {
        {"read 1 0", {"a read of nothing is a hang-up", {}, {"-g"}, "g", "", reading + hung_up, 1}},
        {"read 1 EIO", {"so is a read that fails with EIO", {}, {"-g"}, "g", "", reading + hung_up, 1}},
        {"read 1 EAGAIN", {"a read that finds nothing goes on", {}, {"-g"}, "g", "00000000", "", 0}},
        {"read 1 EINVAL", {"a read that fails otherwise", {}, {"-g"}, "g", "", reading + "Invalid argument\n", 1}},
        {"ppoll 2 EINTR", {"an interrupted wait goes on", {}, {"-g"}, "g", "00000000", "", 0}},
        {"ppoll 3 ENOMEM", {"a wait that fails, the byte before it traced", one_byte, {"--trace", "-g"}, "g", "",
                            no_serial_flags + "io_card: T ms > g\nio_card: T ms < x\n" + reading + "Cannot allocate memory\n", 1}},
        {"write 1 -3", {"a line that takes 3 bytes", {}, {"-s", "10101010"}, "s10101010s", "10101010", "", 0}},
        {"write 1 EAGAIN 2", {"a line that takes none, twice", {}, {"-s", "10101010"}, "s10101010s", "10101010", "", 0}},
        {"write 2 EIO", {"a frame is one write", {}, {"-s", "10101010", "-g"}, "s10101010s", "10101010", writing + hung_up, 1}},
        {"write 1 0 1000000000", {"a line that never takes a byte", {}, {"-g"}, "", "",
                                  writing + "the device took no more within 1 second\n", 1}},
        {"tcsetattr 1 EINVAL", {"a line that cannot be set up", {}, {"-g"}, "", "",
                                "io_card: Error setting up {port}: Invalid argument\n", 1}},
        {"ioctl 2 EINVAL", on_the_clock({"a line that cannot count what waits costs no gap", {}, {"--gap=10000"},
                                         "", "", "", 0})},
    };
    // clang-format on
    for (const auto& c : cases) {
        preload_failing_calls("IO_CARD_FAULT", c.fault);
        expect_run(c.run);
    }
    stop_preloading();
}

// Low latency, set while the port is open, is put back as the run lets the
// port go, whole or failed, on a driver that keeps the flag after a close; a
// flag found on stays on.
TEST(Run, LowLatencyIsPutBack) {
    auto silent = card_with("01100110");
    silent.get.max_bytes = 0;
    auto one_byte = card_with("01100110");
    one_byte.get.bytes = "x";
    const std::string low = "io_card: T ms low latency ";
    struct flags_case {
        int found;
        wire_case run;
        std::string history;
    };
    // clang-format off
    const flags_case cases[] = {
        {0, {"set", card_with("01100110"), {"--trace", "-g"}, "g", "01100110",
             low + "set, until the port is closed\nio_card: T ms > g\nio_card: T ms < 01100110\n", 0}, "0 8192 0"},
        {0, {"put back after a failure", silent, {"-g"}, "g", "", "io_card: No answer from the card on {port}\n", 1},
         "0 8192 0"},
        // A reader gone from stderr must not kill the run with the flag set.
        {0, {"put back with stderr's reader gone", card_with("01100110"), {"--trace", "-g"}, "g", "01100110", "", 0,
             {}, "exec 2> >(exec true); wait $!;"}, "0 8192 0"},
        {8192, {"on already, and a one-byte answer traced", one_byte, {"--trace", "-g"}, "g", "x",
                low + "on already: left as it is\nio_card: T ms > g\nio_card: T ms < x\n", 0}, "8192"},
    };
    // clang-format on
    const serial_flags_file flags;
    for (const auto& c : cases) {
        flags.start(c.found);
        expect_run(c.run);
        stop_preloading();
        EXPECT_EQ(flags.history(), c.history);
    }
}

// A real line: answers late, paced at 9600 baud, handed over in bursts, never
// ending, or gone with the cable. Every answer comes whole to the command that
// asked for it, and every fault is reported.
TEST(Run, RealLines) {
    auto line = card_with("11000000");
    line.baud = 9600;
    auto slow = line;  // 5 ms of turnaround: answers to a pattern end after the pause
    slow.get.delay_ms = slow.set.delay_ms = 5;
    auto slower = line;  // later than the default pause: it needs a longer one
    slower.get.delay_ms = slower.set.delay_ms = 60;
    auto usb = line;  // 18 bytes take longer than a tick: at least two bursts
    usb.latency_ms = 16;
    usb.get.extra = "\r\nOK 012345";
    auto slowest_words = line;  // far later still, and a set frame answered with words
    slowest_words.get.delay_ms = slowest_words.set.delay_ms = 300;
    slowest_words.set.bytes = "OK";
    auto babbler = card_with("00000000");  // bytes that --trace shows as \xff
    babbler.get.extra = std::string(5000, '\xff');
    std::string babble = no_serial_flags + "io_card: T ms > g\nio_card: T ms < 00000000";
    for (int i = 8; i < 4096; ++i) babble += "\\xff";
    auto slow_babbler = line;
    slow_babbler.get.extra = std::string(1100, 'x');
    auto set_hangs_up = card_with("00000000");
    set_hangs_up.set.hang_up = true;
    auto get_hangs_up = set_hangs_up;
    get_hangs_up.set.hang_up = false;
    get_hangs_up.get.hang_up = true;
    auto hangs_up_later = get_hangs_up;
    hangs_up_later.get.delay_ms = 100;
    auto late_words = line;  // a pattern answered with words, later than the pause
    late_words.set.delay_ms = 60;
    late_words.set.bytes = "OK\r\n";
    auto silent_set = line;
    silent_set.set.max_bytes = 0;
    auto usb_late = line;  // an FTDI adapter's default latency timer, a card 5 ms late
    usb_late.latency_ms = 16;
    usb_late.get.delay_ms = usb_late.set.delay_ms = 5;
    const std::string hung_up =
        "io_card: Error reading from {port}: the device hung up or was unplugged\n";
    const std::string endless = "io_card: No end to the answer from the card on {port}: ";
    // clang-format off
    const wire_case cases[] = {
        // 'g' and eight states take 9.4 ms; a set frame and its answer 18.75 ms.
        on_the_clock({"-g gets all eight states", line, {"-g"}, "g", "11000000", "", 0}),
        // However long the pause, a card that answers ends each exchange with the gap.
        on_the_clock({"a long pause where the card answers", card_with("00000000"),
                      {"--pause=10000", "-s", "10101010", "-g", "-2", "on", "--verify"},
                      "s10101010sgggs11101010sg", "101010101010101011101010", "", 0}),
        on_the_clock({"-3 on keeps the others", line, {"-3", "on"}, "gs11100000s", "11100000", "", 0}),
        on_the_clock({"answers that end with the gap, inside the pause", slow, {"-s", "11110000", "-8", "on"},
                      "s11110000sgs11110001s", "1111000011110001", "", 0}),
        on_the_clock({"a card later than the pause", slower, {"--pause=150", "-s", "11110000", "-1", "off"},
                      "s11110000sgs01110000s", "1111000001110000", "", 0}),
        // After a run that ended whole, the next waits for nothing.
        {"runs back to back", slow, {"--trace", "-g"}, "s10101010sg", "10101010",
         no_serial_flags + "io_card: T ms > g\nio_card: T ms < 10101010\n", 0, {}, {}, {"-s", "10101010"}},
        // A pattern's answer may come after its run: the next run waits it out.
        on_the_clock({"a pattern's late words, then -g", late_words, {"-g"}, "s10011001sg", "10011001", "", 0,
                      {}, {}, {"-s", "10011001"}}),
        {"after a pattern with no answer", silent_set, {"--trace", "-g"}, "s10011001sg", "10011001",
         no_serial_flags + "io_card: T ms waiting for a quiet line: an earlier run may still be owed an answer\n"
         "io_card: T ms > g\nio_card: T ms < 10011001\n", 0, {}, {}, {"-s", "10011001"}},
        // The answer that the first run gave up on comes while the second begins.
        on_the_clock({"a card later than the pause, run again at once", slowest_words, {"--pause=1000", "-3", "on"},
                      "ggs11100000s", "OK", "", 0, {}, {}, {"-g"}, -1, 1}),
        on_the_clock({"bursts at a 16 ms latency timer", usb, {"-g"}, "g", "11000000\r\nOK 012345", "", 0}),
        on_the_clock({"-g behind a USB adapter", usb_late, {"-g"}, "g", "11000000", "", 0}),
        on_the_clock({"-s behind a USB adapter", usb_late, {"-s", "10101010"}, "s10101010s", "10101010", "", 0}),
        on_the_clock({"--verify -3 on behind a USB adapter", usb_late, {"--verify", "-3", "on"},
                      "gs11100000sg", "11100000", "", 0}),
        {"more than 4096 bytes, all traced", babbler, {"--trace", "-g", "-3", "off"}, "g", "",
         babble + "\n" + endless + "more than 4096 bytes\n", 1},
        on_the_clock({"still sending after 1 s", slow_babbler, {"-3", "off"}, "g", "",
                      endless + "still arriving 1 second after the pause\n", 1}),
        {"hung up after a pattern", set_hangs_up, {"-s", "10101010"}, "s10101010s", "", hung_up, 1},
        {"hung up after a change", set_hangs_up, {"-3", "on"}, "gs00100000s", "", hung_up, 1},
        {"hung up while the card has time to begin", hangs_up_later, {"--trace", "--pause=2000", "-g"}, "g", "",
         no_serial_flags + "io_card: T ms > g\n" + hung_up, 1},
        {"hung up after g", get_hangs_up, {"-s", "10101010", "-g"}, "s10101010sg", "10101010", hung_up, 1},
    };
    // clang-format on
    for (const auto& c : cases) expect_run(c);

    const card_sim::simulated_card card(line);
    const int fd = open(card.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    set_line(fd);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(write(fd, "g", 1), 1);
    std::string answer;
    pollfd waiting{fd, POLLIN, 0};
    char byte = 0;
    while (answer.size() < 8 && poll(&waiting, 1, 1000) == 1 && read(fd, &byte, 1) == 1) {
        answer += byte;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    close(fd);
    EXPECT_EQ(answer, "11000000");
    // 'g' and eight states: nine bytes of ten bits at 9600 baud.
    EXPECT_GE(took, std::chrono::microseconds(9 * 10 * 1000000 / 9600));
}

// A framework kills a run that hangs and starts another at once: whatever the
// card still sends for the killed run's command is never the new run's answer,
// on a local line or through a server, however the kill falls.
TEST(Run, AKilledRunsAnswerIsNobodys) {
    auto card = card_with("11000000");
    card.baud = 9600;
    card.get.delay_ms = 4;
    // The run to be killed has the pause of the run after it, so that a loaded
    // server that passes its command on late does not have it give up before the
    // card has it. (Through a server, every run waits a pause before its first
    // command.)
    const std::vector<std::string> killed{"--pause=200", "-g"};
    // clang-format off
    const wire_case cases[] = {
        on_the_clock({"killed once the card has its command", card, {"--pause=200", "-g"}, "gg", "11000000", "", 0,
                      {}, {}, killed, 0}),
        on_the_clock({"killed in the middle of the answer", card, {"--pause=200", "-3", "on"}, "ggs11100000s",
                      "11100000", "", 0, {}, {}, killed, 4}),
    };
    // clang-format on
    for (int i = 0; i < 20; ++i) {
        for (const auto& c : cases) {
            expect_run(c);
            expect_run(served(c));
        }
    }
}

TEST(Run, SimulatedCardProgramServesIoCard) {
    auto sim = spawn(IO_CARD_SIM_PATH, "io_card_sim", {"--extra", "\\r\\n"});
    const std::string path = read_line(sim.out_fd, 10000);
    run_result set;
    run_result get;
    if (!path.empty()) {
        set = run_io_card({"-p", path, "--pause=2000", "-s", "10100101"});
        get = run_io_card({"-p", path, "--pause=2000", "-g"});
    }
    kill(sim.pid, SIGINT);
    const run_result served = finish(sim, 10000);
    ASSERT_FALSE(path.empty()) << served.err;

    EXPECT_EQ(set.out, "10100101");
    EXPECT_EQ(get.out, "10100101\r\n");
    EXPECT_EQ(set.status + get.status, 0);
    EXPECT_EQ(served.err,
              "set 10100101\n  answered 10100101\nget\n  answered 10100101\\x0d\\x0a\n");
    EXPECT_EQ(served.status, 0);

    // Stopped in the middle of its turnaround, the card stops at once, not when
    // the turnaround is over: far sooner than the 10 s that finish allows.
    auto slow = spawn(IO_CARD_SIM_PATH, "io_card_sim", {"--delay", "60000"});
    const std::string slow_path = read_line(slow.out_fd, 10000);
    run_result unanswered;
    std::string received;
    if (!slow_path.empty()) {
        unanswered = run_io_card({"-p", slow_path, "--pause=1", "-g"});
        received = read_line(slow.err_fd, 10000);
    }
    kill(slow.pid, SIGTERM);
    const run_result stopped = finish(slow, 10000);
    EXPECT_EQ(unanswered.status, 1);
    EXPECT_EQ(received, "get");
    EXPECT_FALSE(stopped.timed_out);
    EXPECT_EQ(stopped.err, "");
    EXPECT_EQ(stopped.status, 0);

    const std::string states_need = "' (need 8 characters, each 0 or 1)\n";
    for (const auto& [option, value, err] :
         {std::tuple{"--states", "1", "Invalid states '1" + states_need},
          {"--states", "1111000x", "Invalid states '1111000x" + states_need},
          {"--latency", "0", "Invalid number '0' for --latency (1 to 1000)\n"}}) {
        auto refused = spawn(IO_CARD_SIM_PATH, "io_card_sim", {option, value});
        const run_result result = finish(refused, 10000);
        EXPECT_EQ(result.err, "io_card_sim: " + err);
        EXPECT_EQ(result.status, 1);
    }
}

}  // namespace
