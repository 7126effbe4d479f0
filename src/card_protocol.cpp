#include "card_protocol.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "serial_line.h"

namespace {

constexpr char get_command = 'g';
constexpr char set_delimiter = 's';
constexpr useconds_t settle_us = 20000;

void write_or_fail(int fd, const card_request& request, const char* bytes, std::size_t count) {
    ssize_t written = 0;
    do {
        written = write(fd, bytes, count);
    } while (written == -1 && errno == EINTR);
    if (written != static_cast<ssize_t>(count)) {
        fail_on_port(fd, request, "%s: Error writing to %s\n");
    }
}

}  // namespace

void send_get(int fd, const card_request& request) {
    write_or_fail(fd, request, &get_command, 1);
}

void send_set(int fd, const card_request& request) {
    write_or_fail(fd, request, &set_delimiter, 1);
    write_or_fail(fd, request, request.data, output_count);
    write_or_fail(fd, request, &set_delimiter, 1);
}

void settle_wait() {
    usleep(settle_us);
}

std::size_t drain_to_stdout(int fd) {
    std::size_t count = 0;
    char byte = 0;
    while (read(fd, &byte, 1) > 0) {
        std::putchar(static_cast<unsigned char>(byte));
        ++count;
    }
    return count;
}
