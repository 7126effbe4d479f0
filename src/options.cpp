#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr const char* usage_message = "Usage: %s -p port [-s (8bit data)] [-g] [-1..8 (on|off)]\n";

[[noreturn]] void exit_with_usage(const card_request& request) {
    std::fprintf(stderr, usage_message, request.program);
    std::exit(1);
}

// The card takes any byte, so anything but eight '0' or '1' would switch outputs
// to states nobody asked for.
bool is_pattern(const char* text) {
    if (std::strlen(text) != output_count) return false;
    for (std::size_t i = 0; i < output_count; ++i) {
        if (text[i] != '0' && text[i] != '1') return false;
    }
    return true;
}

void take_output_state(card_request& request, int output, const char* state) {
    const std::size_t index = static_cast<std::size_t>(output - 1);
    if (std::strcmp(state, "on") == 0) {
        request.on_mask[index] = '1';
    } else if (std::strcmp(state, "off") == 0) {
        request.off_mask[index] = '1';
    } else {
        std::fprintf(stderr, "%s: Invalid state '%s' for output %d (need on or off)\n",
                     request.program, state, output);
        std::exit(1);
    }
    request.change_flag = 1;
}

void take_port(card_request& request, const char* path) {
    const std::size_t length = std::strlen(path);
    if (length >= port_capacity) {
        std::fprintf(stderr, "%s: Invalid port name\n", request.program);
        std::exit(1);
    }
    std::memcpy(request.port, path, length + 1);
}

void take_pattern(card_request& request, const char* pattern) {
    if (!is_pattern(pattern)) {
        std::fprintf(stderr, "%s: Invalid pattern '%s' (need 8 characters, each 0 or 1)\n",
                     request.program, pattern);
        std::exit(1);
    }
    std::memcpy(request.data, pattern, output_count);
    request.set_flag = 1;
}

}  // namespace

card_request parse_options(int argc, char* argv[]) {
    card_request request;
    if (argc > 0 && argv[0] != nullptr) request.program = argv[0];

    int option = 0;
    while ((option = getopt(argc, argv, "1:2:3:4:5:6:7:8:p:s:g")) != -1) {
        if (option >= '1' && option <= '8') {
            take_output_state(request, option - '0', optarg);
        } else if (option == 'p') {
            take_port(request, optarg);
        } else if (option == 's') {
            take_pattern(request, optarg);
        } else if (option == 'g') {
            request.get_flag = 1;
        } else {
            exit_with_usage(request);  // getopt has said what was wrong
        }
    }
    // getopt moves every word that is not an option behind the options, so the
    // first one left is the first stray word on the command line.
    if (optind < argc) {
        std::fprintf(stderr, "%s: Unexpected argument '%s'\n", request.program, argv[optind]);
        exit_with_usage(request);
    }
    if (request.port[0] == '\0') exit_with_usage(request);
    return request;
}
