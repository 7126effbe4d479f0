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

// What is left from now until end, as the system's waits take it; none once past.
timespec left_until(nanoseconds end) {
    const nanoseconds left = std::max(end - now_ns(), 0LL);
    return {static_cast<time_t>(left / per_second), left % per_second};
}

// One line of --trace: when, since the port was opened, '>' for sent or '<' for
// received, and the bytes, with control bytes, bytes from 0x7f up and the
// backslash itself as \xNN, so that every byte can be read off unambiguously.
void trace(const card_request& request, nanoseconds at, char direction, const char* bytes,
           std::size_t count) {
    if (!request.trace_flag) return;
    static constexpr char hex[] = "0123456789abcdef";
    char shown_bytes[4 * answer_capacity] = {};
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 0x20 || byte >= 0x7f || byte == '\\') {
            shown_bytes[length++] = '\\';
            shown_bytes[length++] = 'x';
            shown_bytes[length++] = hex[byte >> 4];
            shown_bytes[length++] = hex[byte & 0xf];
        } else {
            shown_bytes[length++] = static_cast<char>(byte);
        }
    }
    const nanoseconds tenths = (at - request.opened_ns + per_ms / 20) / (per_ms / 10);
    std::fprintf(stderr, "%s: %lld.%lld ms %c %.*s\n", shown(request.program).text, tenths / 10,
                 tenths % 10, direction, static_cast<int>(length), shown_bytes);
}

// Ends the run as read_answer promises, after tracing what did arrive.
[[noreturn]] void fail_reading(int fd, const card_request& request, const card_answer& answer,
                               nanoseconds began, const char* format, const char* detail) {
    if (answer.count > 0) trace(request, began, '<', answer.bytes, answer.count);
    fail_on_port(fd, request, format, detail);
}

void send_command(int fd, const card_request& request, const char* bytes, std::size_t count) {
    // Whatever is queued now answered the command before, however late: it is
    // printed as that command's, never taken for this one's.
    card_answer late;
    read_answer(fd, request, 0, late);
    print_answer(late);
    trace(request, now_ns(), '>', bytes, count);
    write_port(fd, request, bytes, count);
}

bool holds_states(const card_answer& answer) {
    if (answer.count < output_count) return false;
    for (std::size_t i = 0; i < output_count; ++i) {
        if (answer.bytes[i] != '0' && answer.bytes[i] != '1') return false;
    }
    return true;
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
    constexpr const char* reading = "%s: Error reading from %s: %s";
    constexpr const char* endless = "%s: No end to the answer from the card on %s: %s";
    // A cable pulled or an adapter unplugged is no silence.
    constexpr const char* hung_up = "the device hung up or was unplugged";
    answer.count = 0;
    const nanoseconds pause_end = now_ns() + wait_ms * per_ms;
    nanoseconds end = pause_end;
    nanoseconds began = 0;
    for (;;) {
        const timespec timeout = left_until(end);
        pollfd line{fd, POLLIN, 0};
        const int ready = ppoll(&line, 1, &timeout, nullptr);
        if (ready == 0) break;  // quiet until the end
        if (ready < 0 && errno != EINTR) {
            fail_reading(fd, request, answer, began, reading, std::strerror(errno));
        }
        if ((line.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            fail_reading(fd, request, answer, began, reading, hung_up);
        }
        if (ready < 0) continue;

        char spare = 0;
        const bool full = answer.count == answer_capacity;
        const ssize_t got =
            full ? read(fd, &spare, 1)
                 : read(fd, answer.bytes + answer.count, answer_capacity - answer.count);
        if (got > 0) {
            if (full) fail_reading(fd, request, answer, began, endless, "more than 4096 bytes");
            const nanoseconds arrived = now_ns();
            if (arrived > pause_end + overrun_limit) {
                fail_reading(fd, request, answer, began, endless,
                             "still arriving 1 second after the pause");
            }
            if (answer.count == 0) began = arrived;
            answer.count += static_cast<std::size_t>(got);
            end = std::max(pause_end, arrived + request.gap_ms * per_ms);
        } else if (got == 0 && !isatty(fd)) {
            // The null device, a dry run: nothing ever comes, as from a silent card.
            const timespec rest = left_until(end);
            nanosleep(&rest, nullptr);
            break;
        } else if (got == 0 || errno == EIO) {
            fail_reading(fd, request, answer, began, reading, hung_up);
        } else if (errno != EAGAIN && errno != EINTR) {
            fail_reading(fd, request, answer, began, reading, std::strerror(errno));
        }
    }
    if (answer.count > 0) trace(request, began, '<', answer.bytes, answer.count);
}

void print_answer(const card_answer& answer, std::size_t from) {
    if (from < answer.count) std::fwrite(answer.bytes + from, 1, answer.count - from, stdout);
}

void discard_stale_input(int fd, const card_request& request) {
    if (!isatty(fd)) return;
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0) queued = 0;
    if (tcflush(fd, TCIFLUSH) != 0) {
        fail_on_port(fd, request, "%s: Error setting up %s: %s", std::strerror(errno));
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

void verify_outputs(int fd, const card_request& request) {
    card_answer answer;
    send_get(fd, request);
    read_answer(fd, request, request.pause_ms, answer);
    if (holds_states(answer) && std::memcmp(answer.bytes, request.data, output_count) == 0) return;
    char held[output_count + 1] = {};
    std::memcpy(held, answer.bytes, std::min(answer.count, output_count));
    char words[sizeof(shown_text::text) + 64];
    std::snprintf(words, sizeof words, "%s, not %.8s",
                  answer.count == 0 ? "(no answer)" : shown(held).text, request.data);
    fail_on_port(fd, request, "%s: the card on %s holds %s", words);
}
