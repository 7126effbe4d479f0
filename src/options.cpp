#include "options.h"

#include <getopt.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* usage_message = "Usage: %s -p port [-s (8bit data)] [-g] [-1..8 (on|off)]\n";

constexpr const char* help_text =
    "Switch the outputs of an eight-output I/O card on a serial line.\n"
    "\n"
    "  -p port           the serial device, such as /dev/ttyUSB0 (required)\n"
    "  -s pattern        load all eight outputs: 8 characters, each 0 or 1, output 1 first\n"
    "  -g                print the card's states\n"
    "  -1 ... -8 on|off  switch one output; the others keep the states the card reports\n"
    "  -h, --help        print this help and exit\n"
    "      --version     print the version and exit\n"
    "\n"
    "The card's answers go to standard output unchanged, messages to standard error.\n"
    "\n"
    "Exit status:\n"
    "  0  every step of the run succeeded\n"
    "  1  an invalid command line; the device cannot be opened or written, or is\n"
    "     busy for more than 2 s; the card gives no answer to -g or no valid state\n"
    "     for -1 ... -8; standard output cannot be written\n";

// Asked-for output that cannot be written is no success.
[[noreturn]] void exit_after_output() {
    std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1);
}

// Not in the short options, so that --version alone asks for it.
constexpr int version_option = 256;

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

    static const option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, version_option},
        {nullptr, 0, nullptr, 0},
    };
    const char* short_options = "1:2:3:4:5:6:7:8:p:s:gh";
    int code = 0;
    while ((code = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        if (code >= '1' && code <= '8') {
            take_output_state(request, code - '0', optarg);
        } else if (code == 'p') {
            take_port(request, optarg);
        } else if (code == 's') {
            take_pattern(request, optarg);
        } else if (code == 'g') {
            request.get_flag = 1;
        } else if (code == 'h') {
            std::printf(usage_message, request.program);
            std::fputs(help_text, stdout);
            exit_after_output();
        } else if (code == version_option) {
            std::puts("io_card " IO_CARD_VERSION);
            exit_after_output();
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
