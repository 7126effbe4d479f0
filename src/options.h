// The command line, read into one request record that the whole run shares.
#pragma once

#include <cstddef>

inline constexpr std::size_t output_count = 8;
// A device path of up to 255 bytes plus its terminating zero.
inline constexpr std::size_t port_capacity = 256;
// How long the card has to begin its answer to each command unless --pause
// says otherwise.
inline constexpr int default_pause_ms = 20;
// How long the line must be quiet before an answer counts as over, unless --gap
// says otherwise: longer than the 16 ms latency timer of common USB serial
// adapters, which hand an answer over in bursts up to that far apart.
inline constexpr int default_gap_ms = 20;

struct card_request {
    const char* program = "io_card";  // argv[0], the name every message starts with
    char port[port_capacity] = {};
    // Output N is position N-1 of every 8-byte field; none of them is a string.
    char on_mask[output_count] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    char off_mask[output_count] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    char data[output_count] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    int set_flag = 0;
    int get_flag = 0;
    int change_flag = 0;
    int verify_flag = 0;  // read the states back after each pattern written
    int trace_flag = 0;   // every command and answer on stderr
    // When the port was opened, in ns on CLOCK_MONOTONIC: --trace counts from it.
    long long opened_ns = 0;
    int pause_ms = default_pause_ms;
    int gap_ms = default_gap_ms;
};

// Reads argv into a request. Does not return on a malformed command line: prints
// the reason (and, where it helps, the usage line) to stderr and exits with status 1.
// Nothing has been opened or sent at that point.
card_request parse_options(int argc, char* argv[]);

// Flushes stdout and returns the run's exit status for it: 0, or 1 after "Error
// writing to standard output: <reason>" on stderr when it could not be written.
int finish_output(const card_request& request);

// A word from the command line or the device as a message shows it: bytes below
// 0x20 and 0x7f become \xNN, so that no word can move the cursor or recolour the
// terminal; bytes from 0x80 up pass, so UTF-8 stays readable. A port always fits;
// a longer word is cut and ends in "...".
struct shown_text {
    char text[4 * port_capacity];
};
shown_text shown(const char* word);
