#include "card_protocol.h"

#include <sys/prctl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

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

// Stops at the first read that finds nothing, so it never waits, and never reads
// past the states: whatever follows them is the drain's to print.
bool read_states(int fd, char (&states)[output_count]) {
    std::size_t count = 0;
    while (count < output_count) {
        const ssize_t got = read(fd, states + count, output_count - count);
        if (got <= 0) return false;
        count += static_cast<std::size_t>(got);
    }
    for (const char state : states) {
        if (state != '0' && state != '1') return false;
    }
    return true;
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
    // The default timer slack would stretch every pause by up to 50 us more.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
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

void merge_outputs(int fd, card_request& request) {
    send_get(fd, request);
    settle_wait();
    // Writing back a state that was not read would switch outputs nobody named.
    char states[output_count];
    if (!read_states(fd, states)) {
        fail_on_port(fd, request,
                     "%s: No valid state from the card on %s; outputs left unchanged\n");
    }
    for (std::size_t i = 0; i < output_count; ++i) {
        if (request.on_mask[i] == '1') {
            request.data[i] = '1';
        } else if (request.off_mask[i] == '1') {
            request.data[i] = '0';
        } else {
            request.data[i] = states[i];
        }
    }
    send_set(fd, request);
    settle_wait();
    drain_to_stdout(fd);
}
