#include "messages.h"

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// One run has one program name and one port, so they are kept here rather than
// handed to every function that might fail.
shown_text program = {"io_card"};
shown_text port = {};
bool tracing = false;
long long trace_start = 0;
char undone[192] = {};
int output_error = 0;  // errno of the first failed write to stdout
// What the port's module undoes before a failure closes the port: messages know
// nothing of lines.
void (*undo_port)(int fd) = nullptr;
// What a failure still has to do before the run ends: a way back owed.
void (*then_after_failure)() = nullptr;

constexpr char hex_digits[] = "0123456789abcdef";

char* put_escape(char* at, unsigned char byte) {
    *at++ = '\\';
    *at++ = 'x';
    *at++ = hex_digits[byte >> 4];
    *at++ = hex_digits[byte & 0xf];
    return at;
}

bool is_continuation(unsigned char byte) {
    return (byte & 0xc0) == 0x80;
}

// The length of the well-formed UTF-8 character at text, or 0 if none starts
// there: overlong forms, surrogates and code points past U+10FFFF are not.
std::size_t utf8_length(const unsigned char* text) {
    const unsigned char lead = text[0];
    std::size_t length = 0;
    unsigned char least = 0x80;  // the range the second byte must lie in
    unsigned char most = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) least = 0xa0;
        if (lead == 0xed) most = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) least = 0x90;
        if (lead == 0xf4) most = 0x8f;
    } else {
        return 0;
    }
    if (text[1] < least || text[1] > most) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (!is_continuation(text[i])) return 0;
    }
    return length;
}

}  // namespace

shown_text shown(const char* word) {
    shown_text result{};
    char* at = result.text;
    // Room for one more character's escapes, and for "..." should more follow.
    constexpr std::size_t most_per_character = 16;
    const char* const last = result.text + sizeof result.text - most_per_character - 4;
    const auto* byte = reinterpret_cast<const unsigned char*>(word);
    while (*byte != '\0') {
        if (at > last) {
            std::memcpy(at, "...", sizeof "...");
            break;
        }
        const std::size_t length = *byte < 0x80 ? 1 : utf8_length(byte);
        // C1 controls are U+0080 to U+009F: 0xc2 followed by 0x80 to 0x9f.
        const bool control = length == 0 || *byte < 0x20 || *byte == 0x7f ||
                             (length == 2 && byte[0] == 0xc2 && byte[1] < 0xa0);
        if (control) {
            // A malformed sequence is escaped a byte at a time, so that whatever
            // follows its first byte is judged afresh.
            const std::size_t escaped = length == 0 ? 1 : length;
            for (std::size_t i = 0; i < escaped; ++i) at = put_escape(at, byte[i]);
            byte += escaped;
        } else {
            std::memcpy(at, byte, length);
            at += length;
            byte += length;
        }
    }
    return result;
}

std::size_t show_bytes(const char* bytes, std::size_t count, char* text, std::size_t room) {
    char* at = text;
    for (std::size_t i = 0; i < count && text + room - at > 4; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 0x20 || byte > 0x7e || byte == '\\') {
            at = put_escape(at, byte);
        } else {
            *at++ = static_cast<char>(byte);
        }
    }
    if (room > 0) *at = '\0';
    return static_cast<std::size_t>(at - text);
}

void name_program(const char* argv0) {
    if (argv0 != nullptr && argv0[0] != '\0') program = shown(argv0);
}

const char* program_name() {
    return program.text;
}

void name_port(const char* path) {
    port = shown(path);
}

long long now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

void start_trace(bool wanted, long long from) {
    tracing = wanted;
    trace_start = from;
}

namespace {

// A trace line's start: the program and the time, in tenths of a millisecond,
// rounded.
void trace_time(long long at) {
    const long long tenths = (at - trace_start + 50'000) / 100'000;
    std::fprintf(stderr, "%s: %lld.%lld ms ", program.text, tenths / 10, tenths % 10);
}

}  // namespace

void trace(long long at, char direction, const char* bytes, std::size_t count) {
    if (!tracing) return;
    trace_time(at);
    std::fprintf(stderr, "%c ", direction);
    // In pieces, so that an answer of any length needs no buffer of its size.
    constexpr std::size_t piece = 256;
    char text[4 * piece + 1];
    for (std::size_t done = 0; done < count; done += piece) {
        show_bytes(bytes + done, count - done < piece ? count - done : piece, text, sizeof text);
        std::fputs(text, stderr);
    }
    std::fputc('\n', stderr);
}

void trace_note(long long at, const char* text) {
    if (!tracing) return;
    trace_time(at);
    std::fprintf(stderr, "%s\n", text);
}

void name_undone(const char* line) {
    std::snprintf(undone, sizeof undone, "%s", line);
}

void after_failure(void (*then)()) {
    then_after_failure = then;
}

void exit_failed() {
    if (then_after_failure != nullptr) {
        void (*const then)() = then_after_failure;
        then_after_failure = nullptr;
        then();
    }
    if (undone[0] != '\0') std::fprintf(stderr, "%s: %s\n", program.text, undone);
    std::exit(1);
}

void before_closing_port(void (*undo)(int fd)) {
    undo_port = undo;
}

void fail_on_port(int fd, const char* format, const char* detail, const char* reason) {
    flush_output();
    std::fprintf(stderr, format, program.text, port.text, detail != nullptr ? detail : "");
    std::fputc('\n', stderr);
    if (reason != nullptr) std::fprintf(stderr, "%s: %s\n", program.text, reason);
    if (undo_port != nullptr) undo_port(fd);
    close(fd);
    exit_failed();
}

void flush_output() {
    if (std::fflush(stdout) != 0 && output_error == 0) output_error = errno;
}

int finish_output() {
    flush_output();
    if (!std::ferror(stdout)) return 0;
    std::fprintf(stderr, "%s: Error writing to standard output: %s\n", program.text,
                 std::strerror(output_error != 0 ? output_error : errno));
    return 1;
}
