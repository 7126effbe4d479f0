// The command line, read into one request record that the whole run shares.
#pragma once

#include <cstddef>

inline constexpr std::size_t output_count = 8;
// A device path of up to 255 bytes plus its terminating zero.
inline constexpr std::size_t port_capacity = 256;
// How long the card has to begin its answer to each command unless --pause says
// otherwise: a USB adapter's 16 ms latency timer, the command's and the first
// answer byte's time on the line, and up to 22 ms of the card's own turnaround.
// It costs nothing where the card answers: an answer ends with the gap.
inline constexpr int default_pause_ms = 50;
// How long the line must be quiet before an answer counts as over, unless --gap
// says otherwise: longer than the 16 ms latency timer of common USB serial
// adapters, which hand an answer over in bursts up to that far apart.
inline constexpr int default_gap_ms = 20;
// How long a run waits for another to let go of the port unless --wait says
// otherwise: several runs queued on one card each take well under a second.
inline constexpr int default_wait_ms = 2000;

struct card_request {
    char port[port_capacity] = {};
    // Output N is position N-1 of every 8-byte field; none of them is a string.
    char on_mask[output_count] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    char off_mask[output_count] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    char toggle_mask[output_count] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    char data[output_count] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    // The states the card reported before the run switched any; kept only by a
    // run that puts them back.
    char before[output_count] = {};
    int set_flag = 0;
    int get_flag = 0;
    int change_flag = 0;
    int verify_flag = 0;  // read the states back after each pattern written
    int trace_flag = 0;   // every command and answer on stderr
    int pause_ms = default_pause_ms;
    int gap_ms = default_gap_ms;
    int wait_ms = default_wait_ms;
    int for_ms = 0;  // with --for: how long the run's changes last; 0 for good
    // When the first frame that switched outputs was written, on CLOCK_MONOTONIC
    // in ns; 0 until then. How long taking the port and the line took, and the
    // first reading of the states.
    long long switched_at = 0;
    long long set_up_took = 0;
    long long states_took = 0;
    // A pattern of this exchange got no answer within the pause: one may yet
    // come, so the line stays marked as owed.
    int owed_flag = 0;
};

// Reads argv into a request. Does not return on a malformed command line: prints
// the reason (and, where it helps, the usage line) to stderr and exits with status 1.
// Nothing has been opened or sent at that point.
card_request parse_options(int argc, char* argv[]);
