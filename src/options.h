// The command line, read into one request record that the whole run shares.
#pragma once

#include <cstddef>

inline constexpr std::size_t output_count = 8;
// A device path of up to 255 bytes plus its terminating zero.
inline constexpr std::size_t port_capacity = 256;

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
};

// Reads argv into a request. Does not return on a malformed command line: prints
// the reason (and, where it helps, the usage line) to stderr and exits with status 1.
// Nothing has been opened or sent at that point.
card_request parse_options(int argc, char* argv[]);
