#include "serial_line.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "messages.h"
#include "serial_server.h"

namespace {

constexpr useconds_t lock_retry_us = 2000;
constexpr long long write_wait_ns = 1'000'000'000;

// A fresh port echoes, maps CR to LF, swallows XON/XOFF and turns 0x03 into a
// signal that flushes the input: the card's bytes must pass untouched both ways.
constexpr tcflag_t input_cleared =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IUCLC;
constexpr tcflag_t output_cleared = OPOST;
constexpr tcflag_t local_cleared = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t control_cleared = CSIZE | PARENB | CSTOPB | CRTSCTS;
constexpr tcflag_t control_set = CS8 | CLOCAL | CREAD;
// Left on the line while a run may be owed an answer: a local mode that a raw
// line ignores and that the driver keeps when the port is closed, so that a run
// killed before its answer came, or that gave up on it, tells the next one.
constexpr tcflag_t owed_mark = ECHOPRT;
// When this run found the mark, on CLOCK_MONOTONIC in ns; 0 if it did not.
long long marked_at = 0;

bool is_raw_9600_8n1(const termios& line) {
    return cfgetispeed(&line) == B9600 && cfgetospeed(&line) == B9600 &&
           (line.c_iflag & input_cleared) == 0 && (line.c_oflag & output_cleared) == 0 &&
           (line.c_lflag & local_cleared) == 0 &&
           (line.c_cflag & (control_cleared | control_set)) == control_set;
}

// Whether joining the device's group would give access: the group may read and
// write it, and this user is not in it.
bool group_would_help(const char* path) {
    struct stat device {};
    if (stat(path, &device) != 0 || (device.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        return false;
    }
    if (getegid() == device.st_gid) return false;
    gid_t groups[1024];
    const int count = getgroups(1024, groups);
    for (int i = 0; i < count; ++i) {
        if (groups[i] == device.st_gid) return false;
    }
    return true;
}

// A number of digits alone at text, up to stop; false for anything else.
bool read_number(const char*& text, char stop, unsigned& number) {
    const char* const start = text;
    number = 0;
    for (; *text >= '0' && *text <= '9' && number < 1'000'000'000; ++text) {
        number = number * 10 + static_cast<unsigned>(*text - '0');
    }
    return text != start && *text++ == stop;
}

// Whether device is /dev/console, or that of a console the kernel has
// registered: the last column of each line of /proc/consoles, "major:minor".
// Where the list cannot be read, no other device is taken for one.
bool is_console(dev_t device) {
    if (device == makedev(5, 1)) return true;
    const int fd = open("/proc/consoles", O_RDONLY | O_CLOEXEC);
    if (fd == -1) return false;
    char text[4096];
    std::size_t length = 0;
    for (ssize_t got = 1; got > 0 && length < sizeof text - 1;) {
        got = read(fd, text + length, sizeof text - 1 - length);
        if (got > 0) length += static_cast<std::size_t>(got);
    }
    close(fd);
    text[length] = '\0';
    for (char* line = text; *line != '\0';) {
        char* const end = line + std::strcspn(line, "\n");
        const bool last = *end == '\0';
        *end = '\0';
        const char* column = std::strrchr(line, ' ');
        unsigned major_number = 0;
        unsigned minor_number = 0;
        if (column != nullptr && read_number(++column, ':', major_number) &&
            read_number(column, '\0', minor_number) &&
            device == makedev(major_number, minor_number)) {
            return true;
        }
        if (last) break;
        line = end + 1;
    }
    return false;
}

// The serial flags as hasten_line found them, low latency off, and the port it
// set low latency on until that is put back (-1: none): a signal handler reads
// both.
serial_struct found_flags{};
volatile sig_atomic_t hastened_port = -1;

// Async-signal-safe: a stop signal's handler calls it.
void put_back_latency(int fd) {
    if (hastened_port == -1 || hastened_port != fd) return;
    ioctl(fd, TIOCSSERIAL, &found_flags);
    hastened_port = -1;
}

// The adapter keeps the flag after the port is closed: a stop signal puts it
// back, then ends the run by its default action, as it would have without this.
extern "C" void put_back_and_stop(int signal) {
    const int saved_errno = errno;
    put_back_latency(hastened_port);
    errno = saved_errno;
    raise(signal);
}

// A signal that the caller ignores stays ignored.
void stop_with_put_back() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) != 0 || now.sa_handler == SIG_IGN) continue;
        struct sigaction put_back {};
        put_back.sa_handler = put_back_and_stop;
        sigemptyset(&put_back.sa_mask);
        put_back.sa_flags = SA_RESETHAND;
        sigaction(signal, &put_back, nullptr);
    }
}

// A local line's operations, as the line_kind table below takes them.

// Starts from the device's own attributes so that settings this program does not
// care about, such as HUPCL, stay as the device has them.
void set_terminal(int fd) {
    termios line{};
    if (tcgetattr(fd, &line) != 0) {
        fail_on_port(fd, "%s: Error setting up %s: %s", std::strerror(errno));
    }
    marked_at = (line.c_lflag & owed_mark) != 0 ? now_ns() : 0;
    cfsetispeed(&line, B9600);
    cfsetospeed(&line, B9600);
    line.c_iflag &= ~input_cleared;
    line.c_oflag &= ~output_cleared;
    line.c_lflag &= ~local_cleared;
    line.c_lflag |= owed_mark;
    line.c_cflag &= ~control_cleared;
    line.c_cflag |= control_set;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 10;
    if (tcsetattr(fd, TCSANOW, &line) != 0) {
        fail_on_port(fd, "%s: Error setting up %s: %s", std::strerror(errno));
    }
    // tcsetattr succeeds when any part of the change took.
    termios took{};
    if (tcgetattr(fd, &took) != 0 || !is_raw_9600_8n1(took)) {
        fail_on_port(fd, "%s: Error setting up %s: %s",
                     "the line did not take 9600 baud, 8N1, raw");
    }
}

void hasten_terminal(int fd) {
    serial_struct flags{};
    if (ioctl(fd, TIOCGSERIAL, &flags) != 0) {
        char note[160];
        std::snprintf(note, sizeof note, "low latency not asked: no serial flags: %s",
                      std::strerror(errno));
        trace_note(now_ns(), note);
        return;
    }
    if ((flags.flags & ASYNC_LOW_LATENCY) != 0) {
        trace_note(now_ns(), "low latency on already: left as it is");
        return;
    }
    found_flags = flags;
    // A signal handler that finds hastened_port set must find these flags.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    stop_with_put_back();
    before_closing_port(put_back_latency);
    // Marked before the call, so that a signal in between puts back the flags
    // as found, which any user may set.
    hastened_port = fd;
    flags.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &flags) != 0) {
        const int error = errno;
        hastened_port = -1;
        char note[160];
        std::snprintf(note, sizeof note, "low latency not set: %s", std::strerror(error));
        trace_note(now_ns(), note);
        return;
    }
    serial_struct took{};
    if (ioctl(fd, TIOCGSERIAL, &took) != 0 || (took.flags & ASYNC_LOW_LATENCY) == 0) {
        // The driver took the call and keeps no flag: nothing to put back.
        hastened_port = -1;
        trace_note(now_ns(), "low latency not set: the driver does not keep the flag");
        return;
    }
    trace_note(now_ns(), "low latency set, until the port is closed");
}

void unmark_terminal(int fd) {
    termios line{};
    if (tcgetattr(fd, &line) != 0) return;
    line.c_lflag &= ~owed_mark;
    tcsetattr(fd, TCSANOW, &line);
}

void lock_terminal(int fd, int wait_ms) {
    const long long deadline = now_ns() + wait_ms * 1'000'000LL;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return;  // no locks on this file: run unlocked
        if (now_ns() >= deadline) fail_on_port(fd, "%s: %s is busy");
        usleep(lock_retry_us);
    }
}

bool flush_terminal(int fd) {
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0) queued = 0;
    if (tcflush(fd, TCIFLUSH) != 0) {
        fail_on_port(fd, "%s: Error setting up %s: %s", std::strerror(errno));
    }
    return queued > 0;
}

ssize_t read_terminal(int fd, char* bytes, std::size_t room) {
    const ssize_t got = read(fd, bytes, room);
    // A terminal reads as at its end only once it has hung up.
    if (got == 0) errno = EIO;
    if (got <= 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return got;
}

std::size_t frame_as_it_is(const char* bytes, std::size_t count, char* framed) {
    std::memcpy(framed, bytes, count);
    return count;
}

const char* no_words(int /*error*/) {
    return nullptr;
}

ssize_t write_terminal(int fd, const char* bytes, std::size_t count) {
    return write(fd, bytes, count);
}

// What a server held before it took the port was purged, or discarded, then.
bool flush_server_input(int /*fd*/) {
    return flush_server();
}

long long no_time() {
    return 0;
}

long long marked_since() {
    return marked_at;
}

void nothing_to_do(int /*fd*/) {}

bool nothing_queued(int /*fd*/) {
    return false;
}

// A server's line is set, and its port locked, when it takes the port, within
// the time that open_server gave.
void take_server(int fd, int /*wait_ms*/) {
    take_server_port(fd);
}

// What each entry does on one kind of line: open_port picks the kind, once.
struct line_kind {
    void (*lock)(int fd, int wait_ms);
    void (*set)(int fd);
    void (*hasten)(int fd);
    void (*unmark)(int fd);
    long long (*round_trip)();
    long long (*packing)();
    long long (*owed_since)();
    bool (*flush)(int fd);
    ssize_t (*read)(int fd, char* bytes, std::size_t room);
    // A frame as the line takes it, into twice the room at most.
    std::size_t (*frame)(const char* bytes, std::size_t count, char* framed);
    ssize_t (*write)(int fd, const char* bytes, std::size_t count);
    const char* (*error)(int error);  // the line's own words for a failure, or nullptr
};

constexpr line_kind terminal{lock_terminal, set_terminal,   hasten_terminal, unmark_terminal,
                             no_time,       no_time,        marked_since,    flush_terminal,
                             read_terminal, frame_as_it_is, write_terminal,  no_words};
// The null device reads as a hung-up line would, so nothing may ask it.
constexpr line_kind null_device{lock_terminal, nothing_to_do,  nothing_to_do,  nothing_to_do,
                                no_time,       no_time,        no_time,        nothing_queued,
                                read_terminal, frame_as_it_is, write_terminal, no_words};
// RFC 2217 or raw, which serial_server tells apart.
constexpr line_kind server{take_server,         nothing_to_do,        nothing_to_do,
                           nothing_to_do,       server_round_trip_ns, server_packing_ns,
                           server_connected_at, flush_server_input,   read_server,
                           frame_for_server,    send_to_server,       server_error};

const line_kind* kind = &terminal;

}  // namespace

const char* line_error(int error) {
    const char* const said = kind->error(error);
    if (said != nullptr) return said;
    // A hung-up terminal answers every call with EIO, which says nothing to a user.
    return error == EIO ? "the device hung up or was unplugged" : std::strerror(error);
}

void set_line(int fd) {
    kind->set(fd);
}

void hasten_line(int fd) {
    kind->hasten(fd);
}

void close_port(int fd) {
    put_back_latency(fd);
    close(fd);
}

void unmark_line(int fd) {
    kind->unmark(fd);
}

long long line_round_trip_ns() {
    return kind->round_trip();
}

long long line_packing_ns() {
    return kind->packing();
}

long long owed_answer_since() {
    return kind->owed_since();
}

int open_port(const card_request& request) {
    name_port(request.port);
    if (is_server(request.port)) {
        kind = &server;
        return open_server(request);
    }
    kind = &terminal;
    const int fd = open(request.port, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd == -1) {
        const int error = errno;
        const shown_text port = shown(request.port);
        std::fprintf(stderr, "Error opening %s!\n%s: %s: %s%s\n", port.text, program_name(),
                     port.text, std::strerror(error),
                     error == EACCES && group_would_help(request.port)
                         ? " (add your user to the device's group, usually dialout, and log in "
                           "again)"
                         : "");
        exit_failed();
    }
    // A file, /dev/zero or the kernel log would take the commands as data and
    // give back anything but a card's answers. The null device stays, as a dry run.
    struct stat device {};
    const bool is_device = fstat(fd, &device) == 0 && S_ISCHR(device.st_mode);
    const bool null_port = is_device && device.st_rdev == makedev(1, 3);
    if (null_port) kind = &null_device;
    if (!null_port && !isatty(fd)) fail_on_port(fd, "%s: %s is not a serial line");
    // Set raw, the console would garble the kernel's messages, and they would
    // come back as the card's answers.
    if (is_device && is_console(device.st_rdev)) {
        fail_on_port(fd, "%s: %s is the system console, not a card's line", nullptr,
                     "the kernel writes its messages to it; move the console with console= on "
                     "the kernel's command line, or use another port");
    }
    // Under any name, the user's own terminal would get the commands and give the
    // keystrokes back as answers, and be left raw: it is refused untouched.
    const pid_t session = tcgetsid(fd);
    if (session != -1 && session == getsid(0)) {
        fail_on_port(fd, "%s: %s is your own terminal, not a serial line");
    }
    // Nor may the terminal that a caller gave the run as a stream, such as the
    // pseudo-terminal a framework reads its output from.
    constexpr const char* streams[] = {"it is this run's standard input",
                                       "it is this run's standard output",
                                       "it is this run's standard error"};
    for (int stream = 0; stream <= 2 && !null_port; ++stream) {
        struct stat given {};
        if (fstat(stream, &given) == 0 && S_ISCHR(given.st_mode) &&
            given.st_rdev == device.st_rdev) {
            fail_on_port(fd, "%s: %s is your own terminal, not a serial line", nullptr,
                         streams[stream]);
        }
    }
    // Reads must never wait: the reader waits in poll, on deadlines of its own.
    fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

bool port_is_null() {
    return kind == &null_device;
}

void lock_port(int fd, int wait_ms) {
    kind->lock(fd, wait_ms);
}

bool flush_input(int fd) {
    return kind->flush(fd);
}

ssize_t read_port(int fd, char* bytes, std::size_t room) {
    return kind->read(fd, bytes, room);
}

void write_port(int fd, const char* bytes, std::size_t count) {
    const long long deadline = now_ns() + write_wait_ns;
    if (count > frame_capacity) {
        fail_on_port(fd, "%s: Error writing to %s: %s", "a frame longer than 16 bytes");
    }
    char framed[2 * frame_capacity];
    count = kind->frame(bytes, count, framed);
    std::size_t sent = 0;
    while (sent < count) {
        const ssize_t written = kind->write(fd, framed + sent, count - sent);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            continue;
        }
        if (written == -1 && errno != EINTR && errno != EAGAIN) {
            fail_on_port(fd, "%s: Error writing to %s: %s", line_error(errno));
        }
        const long long left = deadline - now_ns();
        if (left <= 0) {
            fail_on_port(fd, "%s: Error writing to %s: %s",
                         "the device took no more within 1 second");
        }
        pollfd room{fd, POLLOUT, 0};
        poll(&room, 1, static_cast<int>(left / 1'000'000 + 1));
    }
}
