// Preloaded into io_card by the tests, it ends calls as a line, a driver or the
// kernel may at the worst moment. IO_CARD_FAULT="CALL N RESULT [TIMES]": the Nth
// call of CALL (read, write, ppoll, ioctl, tcsetattr) on a terminal, or of recv or
// send on a server's socket, and the TIMES - 1
// after it, fail with the errno named RESULT (EIO, EAGAIN...); a RESULT of 0
// returns 0, and -K lets a read or write through with at most K bytes.
// IO_CARD_SERIAL_FLAGS=FILE gives a terminal the serial flags of a driver that
// keeps them after a close, as an FTDI adapter's does: TIOCGSERIAL reads the
// flags of FILE's last line, and TIOCSSERIAL adds a line, so that FILE ends up
// with every change in turn.
#include <asm/ioctls.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int isatty(int fd) noexcept;
extern "C" int close(int fd);

namespace {

char call[16];
long nth = 0;
long result = 0;  // an errno, 0, or -K
long times = 1;
long calls = 0;

const bool planned = [] {
    char word[32] = "";
    const char* fault = std::getenv("IO_CARD_FAULT");
    if (fault == nullptr || std::sscanf(fault, "%15s %ld %31s %ld", call, &nth, word, &times) < 3) {
        return false;
    }
    result = std::strtol(word, nullptr, 10);
    for (int error = 1; error < 256; ++error) {
        if (strerrorname_np(error) != nullptr && std::strcmp(strerrorname_np(error), word) == 0) {
            result = error;
        }
    }
    return true;
}();

// What a call ends with in place of its own (-1 with errno set, or 0), or 1 for
// one that goes on, with its count cut where it falls short.
int ends(const char* name, int fd, std::size_t* count = nullptr) {
    const int kept = errno;  // isatty sets it on other descriptors
    const bool chosen =
        planned && std::strcmp(name, call) == 0 &&
        (isatty(fd) == 1 || std::strcmp(name, "recv") == 0 || std::strcmp(name, "send") == 0) &&
        ++calls >= nth && calls < nth + times;
    errno = kept;
    if (chosen && result < 0 && count != nullptr && *count > static_cast<std::size_t>(-result)) {
        *count = static_cast<std::size_t>(-result);
    }
    if (!chosen || result < 0) return 1;
    errno = static_cast<int>(result);
    return result == 0 ? 0 : -1;
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The serial flags call on fd answered from IO_CARD_SERIAL_FLAGS's file (0 or
// -1 with errno), or 1 where there is none to answer it. A stop signal's
// handler makes the call too.
int serial_flags(int fd, unsigned long request, void* argument) {
    const char* const path = std::getenv("IO_CARD_SERIAL_FLAGS");
    if (path == nullptr || (request != TIOCGSERIAL && request != TIOCSSERIAL) || isatty(fd) != 1) {
        return 1;
    }
    auto* const flags = static_cast<serial_struct*>(argument);
    char text[4096];
    if (request == TIOCSSERIAL) {
        const int file = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
        const int length = std::snprintf(text, sizeof text, "%d\n", flags->flags);
        const bool added = file != -1 && next<ssize_t (*)(int, const void*, std::size_t)>("write")(
                                             file, text, length) == length;
        if (file != -1) close(file);
        if (added) return 0;
        errno = EIO;
        return -1;
    }
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t length = file == -1 ? -1
                                : next<ssize_t (*)(int, void*, std::size_t)>("read")(
                                      file, text, sizeof text - 1);
    if (file != -1) close(file);
    if (length <= 0) {
        errno = EIO;
        return -1;
    }
    while (length > 0 && text[length - 1] == '\n') --length;
    text[length] = '\0';
    const char* const last = std::strrchr(text, '\n');
    *flags = serial_struct{};
    flags->flags = static_cast<int>(std::strtol(last == nullptr ? text : last + 1, nullptr, 10));
    return 0;
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* bytes, std::size_t count) {
    const int ended = ends("read", fd, &count);
    return ended < 1 ? ended : next<decltype(&read)>("read")(fd, bytes, count);
}

ssize_t write(int fd, const void* bytes, std::size_t count) {
    const int ended = ends("write", fd, &count);
    return ended < 1 ? ended : next<decltype(&write)>("write")(fd, bytes, count);
}

ssize_t recv(int fd, void* bytes, std::size_t count, int flags) {
    const int ended = ends("recv", fd, &count);
    return ended < 1 ? ended : next<decltype(&recv)>("recv")(fd, bytes, count, flags);
}

ssize_t send(int fd, const void* bytes, std::size_t count, int flags) {
    const int ended = ends("send", fd, &count);
    return ended < 1 ? ended : next<decltype(&send)>("send")(fd, bytes, count, flags);
}

// The first descriptor decides: io_card waits for one alone.
int ppoll(const int* fds, unsigned long count, const void* timeout, const void* mask) {
    const int ended = ends("ppoll", fds[0]);
    return ended < 1 ? ended : next<decltype(&ppoll)>("ppoll")(fds, count, timeout, mask);
}

// io_card's ioctls, TIOCGSERIAL first and then FIONREAD on a terminal, take a pointer.
int ioctl(int fd, unsigned long request, void* argument) noexcept {
    const int ended = ends("ioctl", fd);
    if (ended < 1) return ended;
    const int answered = serial_flags(fd, request, argument);
    return answered < 1 ? answered : next<decltype(&ioctl)>("ioctl")(fd, request, argument);
}

int tcsetattr(int fd, int when, const void* settings) noexcept {
    const int ended = ends("tcsetattr", fd);
    return ended < 1 ? ended : next<decltype(&tcsetattr)>("tcsetattr")(fd, when, settings);
}
}
