#include "card_protocol.h"

#include <sys/prctl.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "serial_line.h"

namespace {

constexpr char get_command = 'g';
constexpr char set_delimiter = 's';
// A terminal's input buffer: a device that never stops sending cannot keep a
// run going, or fill the disk behind stdout.
constexpr std::size_t drain_limit = 4096;

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
    write_port(fd, request, &get_command, 1);
}

void send_set(int fd, const card_request& request) {
    char frame[output_count + 2];
    frame[0] = set_delimiter;
    std::memcpy(frame + 1, request.data, output_count);
    frame[output_count + 1] = set_delimiter;
    write_port(fd, request, frame, sizeof frame);
}

void settle_wait(const card_request& request) {
    // The default timer slack would stretch every pause by up to 50 us more.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    usleep(static_cast<useconds_t>(request.pause_ms) * 1000);
}

std::size_t drain_to_stdout(int fd) {
    char bytes[drain_limit];
    std::size_t count = 0;
    while (count < drain_limit) {
        const ssize_t got = read(fd, bytes + count, drain_limit - count);
        if (got <= 0) break;
        count += static_cast<std::size_t>(got);
    }
    std::fwrite(bytes, 1, count, stdout);
    return count;
}

void merge_outputs(int fd, card_request& request) {
    // What is queued now answered an earlier stage, too late for its pause: it
    // is printed as that stage would have, and never taken for states.
    drain_to_stdout(fd);
    send_get(fd, request);
    settle_wait(request);
    // Writing back a state that was not read would switch outputs nobody named.
    char states[output_count];
    if (!read_states(fd, states)) {
        fail_on_port(fd, request, "%s: No valid state from the card on %s; outputs left unchanged");
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
    settle_wait(request);
    drain_to_stdout(fd);
}
