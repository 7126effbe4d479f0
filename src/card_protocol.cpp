#include "card_protocol.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "serial_line.h"

namespace {

constexpr char get_command = 'g';
constexpr char set_delimiter = 's';

using nanoseconds = long long;
constexpr nanoseconds per_ms = 1'000'000;
constexpr nanoseconds per_second = 1'000'000'000;
// A device that never stops sending cannot keep a run going.
constexpr nanoseconds overrun_limit = per_second;

nanoseconds now() {
    timespec clock{};
    clock_gettime(CLOCK_MONOTONIC, &clock);
    return clock.tv_sec * per_second + clock.tv_nsec;
}

void send_command(int fd, const card_request& request, const char* bytes, std::size_t count) {
    // Whatever is queued now answered the command before, however late: it is
    // printed as that command's, never taken for this one's.
    card_answer late;
    read_answer(fd, request, 0, late);
    print_answer(late);
    write_port(fd, request, bytes, count);
}

bool holds_states(const card_answer& answer) {
    if (answer.count < output_count) return false;
    for (std::size_t i = 0; i < output_count; ++i) {
        if (answer.bytes[i] != '0' && answer.bytes[i] != '1') return false;
    }
    return true;
}

[[noreturn]] void fail_hung_up(int fd, const card_request& request) {
    fail_on_port(fd, request, "%s: Error reading from %s", "the device hung up or was unplugged");
}

}  // namespace

void send_get(int fd, const card_request& request) {
    send_command(fd, request, &get_command, 1);
}

void send_set(int fd, const card_request& request) {
    char frame[output_count + 2];
    frame[0] = set_delimiter;
    std::memcpy(frame + 1, request.data, output_count);
    frame[output_count + 1] = set_delimiter;
    send_command(fd, request, frame, sizeof frame);
}

void read_answer(int fd, const card_request& request, int wait_ms, card_answer& answer) {
    // The default timer slack would stretch every wait by up to 50 us.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    answer.count = 0;
    const nanoseconds pause_end = now() + wait_ms * per_ms;
    nanoseconds end = pause_end;
    for (;;) {
        const nanoseconds left = std::max(end - now(), 0LL);
        const timespec timeout{static_cast<time_t>(left / per_second), left % per_second};
        pollfd line{fd, POLLIN, 0};
        const int ready = ppoll(&line, 1, &timeout, nullptr);
        if (ready == 0) return;  // quiet until the end
        if (ready < 0) {
            if (errno == EINTR) continue;
            fail_on_port(fd, request, "%s: Error reading from %s", std::strerror(errno));
        }
        // A cable pulled or an adapter unplugged is no silence.
        if ((line.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) fail_hung_up(fd, request);

        char spare = 0;
        const bool full = answer.count == answer_capacity;
        const ssize_t got =
            full ? read(fd, &spare, 1)
                 : read(fd, answer.bytes + answer.count, answer_capacity - answer.count);
        if (got > 0) {
            if (full) {
                fail_on_port(fd, request, "%s: No end to the answer from the card on %s",
                             "more than 4096 bytes");
            }
            const nanoseconds arrived = now();
            if (arrived > pause_end + overrun_limit) {
                fail_on_port(fd, request, "%s: No end to the answer from the card on %s",
                             "still arriving 1 second after the pause");
            }
            answer.count += static_cast<std::size_t>(got);
            end = std::max(pause_end, arrived + request.gap_ms * per_ms);
        } else if (got == 0) {
            if (isatty(fd)) fail_hung_up(fd, request);
            // The null device, a dry run: nothing ever comes, as from a silent card.
            const nanoseconds rest = std::max(end - now(), 0LL);
            const timespec pause{static_cast<time_t>(rest / per_second), rest % per_second};
            nanosleep(&pause, nullptr);
            return;
        } else if (errno == EIO) {
            fail_hung_up(fd, request);
        } else if (errno != EAGAIN && errno != EINTR) {
            fail_on_port(fd, request, "%s: Error reading from %s", std::strerror(errno));
        }
    }
}

void print_answer(const card_answer& answer, std::size_t from) {
    if (from < answer.count) std::fwrite(answer.bytes + from, 1, answer.count - from, stdout);
}

void discard_stale_input(int fd, const card_request& request) {
    if (!isatty(fd)) return;
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0) queued = 0;
    if (tcflush(fd, TCIFLUSH) != 0) {
        fail_on_port(fd, request, "%s: Error setting up %s", std::strerror(errno));
    }
    // A run killed in the middle of an answer leaves its rest still arriving.
    if (queued > 0) {
        card_answer rest;
        read_answer(fd, request, request.gap_ms, rest);
    }
}

void merge_outputs(int fd, card_request& request) {
    card_answer answer;
    send_get(fd, request);
    read_answer(fd, request, request.pause_ms, answer);
    // Writing back a state that was not read would switch outputs nobody named.
    if (!holds_states(answer)) {
        fail_on_port(fd, request, "%s: No valid state from the card on %s; outputs left unchanged");
    }
    for (std::size_t i = 0; i < output_count; ++i) {
        if (request.on_mask[i] == '1') {
            request.data[i] = '1';
        } else if (request.off_mask[i] == '1') {
            request.data[i] = '0';
        } else {
            request.data[i] = answer.bytes[i];
        }
    }
    // Only the states are the program's; what followed them is the card's output.
    print_answer(answer, output_count);
    send_set(fd, request);
    read_answer(fd, request, request.pause_ms, answer);
    print_answer(answer);
}
