#include "card_protocol.h"

#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "messages.h"
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
    return {static_cast<time_t>(left / per_second), static_cast<long>(left % per_second)};
}

// Ends the run as read_answer promises, after tracing what did arrive.
[[noreturn]] void fail_reading(int fd, const card_answer& answer, nanoseconds began,
                               const char* format, const char* detail) {
    if (answer.count > 0) trace(began, '<', answer.bytes, answer.count);
    fail_on_port(fd, format, detail);
}

void send_command(int fd, const card_request& request, const char* bytes, std::size_t count) {
    // Whatever is queued now answered the command before, however late: it is
    // printed as that command's, never taken for this one's.
    card_answer late;
    read_answer(fd, request, 0, late);
    print_answer(late);
    trace(now_ns(), '>', bytes, count);
    write_port(fd, bytes, count);
}

// How long the card has to begin an answer, from when the command is handed to
// the line: on a server, the command reaches the card a network's round trip
// later, and its answer comes back as late.
// A raw bridge may hold the answer until its line has been quiet, as long as
// its packing allowance.
int pause_ms(const card_request& request) {
    const nanoseconds added = line_round_trip_ns() + line_packing_ns();
    return request.pause_ms + static_cast<int>((added + per_ms - 1) / per_ms);
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
    static_assert(sizeof frame <= frame_capacity);
    frame[0] = set_delimiter;
    std::memcpy(frame + 1, request.data, output_count);
    frame[output_count + 1] = set_delimiter;
    send_command(fd, request, frame, sizeof frame);
}

void read_answer(int fd, const card_request& request, int wait_ms, card_answer& answer,
                 std::size_t least) {
    // The default timer slack would stretch every wait by up to 50 us.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    constexpr const char* reading = "%s: Error reading from %s: %s";
    constexpr const char* endless = "%s: No end to the answer from the card on %s: %s";
    answer.count = 0;
    const nanoseconds pause_end = now_ns() + wait_ms * per_ms;
    if (port_is_null()) {
        // A dry run: nothing ever comes, as from a silent card.
        const timespec rest = left_until(pause_end);
        nanosleep(&rest, nullptr);
        return;
    }
    // Until the first byte, the card has the pause; after each byte, the gap.
    nanoseconds end = pause_end;
    nanoseconds began = 0;
    for (;;) {
        const timespec timeout = left_until(end);
        pollfd line{fd, POLLIN, 0};
        const int ready = ppoll(&line, 1, &timeout, nullptr);
        // A network may hold the rest of a short answer back for longer than the
        // gap, as a tunnel's delayed acknowledgement does: it is not over while
        // the pause lasts, counted from its first byte too.
        if (ready == 0 && answer.count > 0 && answer.count < least) {
            const nanoseconds longest = std::max(pause_end, began + wait_ms * per_ms);
            if (end < longest) {
                end = longest;
                continue;
            }
        }
        if (ready == 0) break;  // quiet until the end
        if (ready < 0 && errno != EINTR) {
            fail_reading(fd, answer, began, reading, std::strerror(errno));
        }
        if ((line.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            fail_reading(fd, answer, began, reading, line_error(EIO));
        }
        if (ready < 0) continue;

        char spare = 0;
        const bool full = answer.count == answer_capacity;
        const ssize_t got =
            full ? read_port(fd, &spare, 1)
                 : read_port(fd, answer.bytes + answer.count, answer_capacity - answer.count);
        if (got > 0) {
            if (full) fail_reading(fd, answer, began, endless, "more than 4096 bytes");
            const nanoseconds arrived = now_ns();
            if (arrived > pause_end + overrun_limit) {
                fail_reading(fd, answer, began, endless, "still arriving 1 second after the pause");
            }
            if (answer.count == 0) began = arrived;
            answer.count += static_cast<std::size_t>(got);
            end = arrived + request.gap_ms * per_ms;
        } else if (got < 0) {
            fail_reading(fd, answer, began, reading, line_error(errno));
        }
    }
    if (answer.count > 0) trace(began, '<', answer.bytes, answer.count);
}

void print_answer(const card_answer& answer, std::size_t from) {
    if (from < answer.count) std::fwrite(answer.bytes + from, 1, answer.count - from, stdout);
}

void discard_stale_input(int fd, const card_request& request) {
    const bool queued = flush_input(fd);
    // An earlier run's command may still be answered: a card has the pause to
    // begin an answer and the gap between its bytes, so a line quiet that long
    // since then owes nothing more. Without a command owed, only the rest of
    // bytes queued just now can still be coming.
    const nanoseconds owed = owed_answer_since();
    nanoseconds quiet_until = 0;
    if (owed != 0) {
        quiet_until = owed + std::max(request.pause_ms, request.gap_ms) * per_ms;
        trace_note(now_ns(),
                   "waiting for a quiet line: an earlier run may still be owed an answer");
    } else if (queued) {
        quiet_until = now_ns() + request.gap_ms * per_ms;
    }
    const nanoseconds left = std::max(quiet_until - now_ns(), 0LL);
    card_answer rest;
    if (quiet_until != 0)
        read_answer(fd, request, static_cast<int>((left + per_ms - 1) / per_ms), rest);
}

void get_answer(int fd, const card_request& request, card_answer& answer) {
    send_get(fd, request);
    read_answer(fd, request, pause_ms(request), answer, output_count);
}

void fail_no_answer(int fd, const card_request& request, const char* format) {
    const long long round_trip = line_round_trip_ns();
    const long long packing = line_packing_ns();
    if (round_trip == 0 && packing == 0) fail_on_port(fd, format);
    // A slow link, or a bridge that packs longer, must not pass for a silent card.
    char reason[256];
    if (packing == 0) {
        std::snprintf(reason, sizeof reason,
                      "round trip to the server: %lld.%lld ms and then the pause of %d ms passed "
                      "without a byte from the card",
                      round_trip / per_ms, round_trip % per_ms / 100'000, request.pause_ms);
    } else {
        // Nothing shows how long a bridge packs, and a proxy's handshake does not
        // show the network behind it: twice the pause and the allowance is a
        // guess that makes room for either.
        std::snprintf(reason, sizeof reason,
                      "round trip to the server: %lld.%lld ms and a packing allowance of %lld ms, "
                      "then the pause of %d ms passed without a byte from the card; for a bridge "
                      "that packs longer or a slower network, try --pause=%lld",
                      round_trip / per_ms, round_trip % per_ms / 100'000, packing / per_ms,
                      request.pause_ms,
                      std::min(2 * (packing / per_ms + request.pause_ms), 10000LL));
    }
    fail_on_port(fd, format, nullptr, reason);
}

bool get_states(int fd, const card_request& request, card_answer& states) {
    get_answer(fd, request, states);
    return holds_states(states);
}

void fail_no_states(int fd, const card_request& request, const card_answer& states) {
    // Writing back a state that was not read would switch outputs nobody named.
    if (states.count == 0) {
        fail_no_answer(fd, request, "%s: No answer from the card on %s; outputs left unchanged");
    }
    fail_on_port(fd, "%s: No valid state from the card on %s; outputs left unchanged");
}

void read_states(int fd, const card_request& request, card_answer& states) {
    if (!get_states(fd, request, states)) fail_no_states(fd, request, states);
    // Only the states are the program's; what followed them is the card's output.
    print_answer(states, output_count);
}

void merge_outputs(card_request& request, const card_answer& states) {
    for (std::size_t i = 0; i < output_count; ++i) {
        const char state = states.bytes[i];
        if (request.on_mask[i] == '1') {
            request.data[i] = '1';
        } else if (request.off_mask[i] == '1') {
            request.data[i] = '0';
        } else if (request.toggle_mask[i] == '1') {
            request.data[i] = state == '1' ? '0' : '1';
        } else {
            request.data[i] = state;
        }
    }
}

pattern_written write_pattern(int fd, const card_request& request) {
    send_set(fd, request);
    const long long written = now_ns();
    card_answer answer;
    read_answer(fd, request, pause_ms(request), answer, output_count);
    print_answer(answer);
    return {written, answer.count > 0};
}

bool reads_back(int fd, const card_request& request, card_answer& answer) {
    get_answer(fd, request, answer);
    return holds_states(answer) && std::memcmp(answer.bytes, request.data, output_count) == 0;
}

void fail_not_held(int fd, const card_request& request, const card_answer& answer) {
    // The card's bytes, shown as --trace shows them.
    char held[4 * output_count + 1];
    show_bytes(answer.bytes, std::min(answer.count, output_count), held, sizeof held);
    char words[sizeof held + 64];
    std::snprintf(words, sizeof words, "%s, not %.8s", answer.count == 0 ? "(no answer)" : held,
                  request.data);
    fail_on_port(fd, "%s: the card on %s holds %s", words);
}

void verify_outputs(int fd, const card_request& request) {
    card_answer answer;
    if (!reads_back(fd, request, answer)) fail_not_held(fd, request, answer);
}

void let_line_settle(int fd, const card_request& request) {
    card_answer late;
    read_answer(fd, request, pause_ms(request), late);
}
