// What the program says, and the one place that knows how: its own name and its
// port's in every message, words and the card's bytes shown so that no byte can
// work on the terminal, the exits of a run that fails with the port open, the
// lines of --trace, and the final flush of stdout.
#pragma once

#include <cstddef>

// The longest word that is always shown whole, as every port is.
inline constexpr std::size_t shown_whole = 255;

// Room for any word shown: every byte of the longest whole word as \xNN, and "...".
struct shown_text {
    char text[4 * (shown_whole + 1) + 32];
};

// A word from the command line or the system as a message shows it: C0 controls,
// DEL, C1 controls (U+0080 to U+009F) and every byte of an invalid UTF-8 sequence
// become \xNN, so that no word can move the cursor or recolour the terminal; valid
// UTF-8 stays readable. A word of up to shown_whole bytes always fits; a longer
// one is cut and ends in "...".
shown_text shown(const char* word);

// Bytes from the card as --trace shows them: 0x20 to 0x7e as they are, but the
// backslash, and every other byte, as \xNN, so that each byte reads off
// unambiguously. Writes at most room - 1 characters and a terminating zero,
// cutting at a whole escape, and returns how many it wrote.
std::size_t show_bytes(const char* bytes, std::size_t count, char* text, std::size_t room);

// Takes argv[0] as the name that every message starts with; a missing or empty
// one leaves it "io_card".
void name_program(const char* argv0);
// The program's name as messages show it.
const char* program_name();

// Takes the port's path for every message about it.
void name_port(const char* path);

// The time on CLOCK_MONOTONIC in nanoseconds: every deadline of a run and every
// trace line is counted on it.
long long now_ns();

// Turns trace on, or leaves it off, for the rest of the run; its times count
// from from, on CLOCK_MONOTONIC in ns.
void start_trace(bool wanted, long long from);

// Once trace is on: one line on stderr for a command sent ('>') or an answer
// received ('<') at the time at, on CLOCK_MONOTONIC in ns. Otherwise nothing.
void trace(long long at, char direction, const char* bytes, std::size_t count);

// Once trace is on: one line on stderr, text, that says what the run does at
// the time at, and why. Otherwise nothing.
void trace_note(long long at, const char* text);

// From now on, every failure ends with line, after the program's name: what the
// failed run leaves undone. An empty line says nothing more.
void name_undone(const char* line);

// From now on, a failed run does not end at once: once its message is out and
// its port closed, it calls then, which ends the run; nullptr for none. then is
// called once, for the first failure, and a failure during it ends the run as
// exit_failed then does.
void after_failure(void (*then)());

// Ends a failed run: calls what after_failure named, if anything; otherwise
// prints the line of name_undone, if there is one, and exits with status 1.
[[noreturn]] void exit_failed();

// Names what fail_on_port calls with the port's descriptor just before it closes
// it, to undo what the run did to the device; nullptr for nothing.
void before_closing_port(void (*undo)(int fd));

// Ends a run that has the port open: flushes what the card already said to
// stdout, prints format to stderr with the program's name, the port's and detail
// (other words of the message; nullptr for none), then reason, if any, on a line
// of its own. Undoes as before_closing_port named, closes fd and exits as
// exit_failed.
[[noreturn]] void fail_on_port(int fd, const char* format, const char* detail = nullptr,
                               const char* reason = nullptr);

// Writes out what stdout holds so far. A failure is kept for finish_output.
void flush_output();

// Flushes stdout and returns the run's exit status for it: 0, or 1 after "Error
// writing to standard output: <reason>" on stderr when it could not be written,
// now or at an earlier flush_output.
int finish_output();
