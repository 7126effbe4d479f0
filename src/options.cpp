#include "options.h"

#include <getopt.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "messages.h"

namespace {

constexpr const char* usage_message = "Usage: %s -p port [-s (8bit data)] [-g] [-1..8 (on|off)]\n";

constexpr const char* help_text =
    "Switch the outputs of an eight-output I/O card on a serial line.\n"
    "\n"
    "  -p, --port=PORT       the serial device, such as /dev/ttyUSB0, a serial\n"
    "                        server's as rfc2217://HOST:PORT, or a raw TCP\n"
    "                        bridge's as socket://HOST:PORT or tcp://HOST:PORT\n"
    "                        (required)\n"
    "  -s, --set=PATTERN     load all eight outputs: 8 characters, each 0 or 1,\n"
    "                        output 1 first\n"
    "  -g, --get             print the card's states\n"
    "  -1 ... -8 on|off|toggle\n"
    "                        switch one output; the others keep the card's states\n"
    "      --for=MS          after MS milliseconds (1 to 86400000), put back what\n"
    "                        -s and -1 ... -8 switched; a signal cuts the wait short\n"
    "      --verify          read the states back after writing a pattern and fail\n"
    "                        unless the card holds it\n"
    "      --trace           show every command and answer on standard error, with\n"
    "                        the backslash and bytes outside 0x20 to 0x7e as \\xNN\n"
    "      --wait=MS         wait up to MS milliseconds (0 to 600000, default 2000)\n"
    "                        for another run to let go of the port; on a network,\n"
    "                        the longer of MS and 3 s bounds taking the port\n"
    "      --pause=MS        give the card MS milliseconds (1 to 10000, default 50)\n"
    "                        to begin each answer, and on a server the round trip\n"
    "                        measured too (and behind a raw bridge 60 ms for its\n"
    "                        packing); raise it when -g says \"No answer\" on a\n"
    "                        card that works\n"
    "      --gap=MS          an answer is over once the line has been quiet for MS\n"
    "                        milliseconds (1 to 10000, default 20)\n"
    "  -h, --help            print this help and exit\n"
    "      --version         print the version and exit\n"
    "\n"
    "The card's answers go to standard output unchanged, messages to standard error;\n"
    "control bytes in words that messages show appear as \\xNN.\n"
    "\n"
    "Exit status:\n"
    "  0  every step of the run succeeded\n"
    "  1  an invalid command line; the device cannot be opened, set up, read or\n"
    "     written, is no serial line, is your own terminal or the system console,\n"
    "     or is busy for longer than --wait; the card gives no answer to -g or\n"
    "     -1 ... -8, no valid state, an endless answer, or holds another pattern\n"
    "     after --verify; --for could not put the outputs back; standard output\n"
    "     cannot be written; the program runs setuid or setgid\n"
    "  128 + N  ended by signal N, such as 130 for Ctrl-C; with --for, once the\n"
    "     outputs are back\n";

constexpr const char* version_text =
    "io_card " IO_CARD_VERSION
    "\n"
    "Copyright (C) 2026 The io_card developers.\n"
    "License MIT: <https://opensource.org/licenses/MIT>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

// Asked-for output that cannot be written is no success.
[[noreturn]] void exit_after_output() {
    std::exit(finish_output());
}

// Long options have codes of their own, beyond any byte, so that a refusal can
// tell them from short ones.
constexpr int help_option = 256;
constexpr int version_option = 257;
constexpr int pause_option = 258;
constexpr int gap_option = 259;
constexpr int port_option = 260;
constexpr int set_option = 261;
constexpr int get_option = 262;
constexpr int verify_option = 263;
constexpr int trace_option = 264;
constexpr int wait_option = 265;
constexpr int for_option = 266;
constexpr int first_long_code = help_option;
constexpr const char* short_options = ":1:2:3:4:5:6:7:8:p:s:gh";
constexpr option long_options[] = {
    {"port", required_argument, nullptr, port_option},
    {"set", required_argument, nullptr, set_option},
    {"get", no_argument, nullptr, get_option},
    {"verify", no_argument, nullptr, verify_option},
    {"trace", no_argument, nullptr, trace_option},
    {"pause", required_argument, nullptr, pause_option},
    {"gap", required_argument, nullptr, gap_option},
    {"wait", required_argument, nullptr, wait_option},
    {"for", required_argument, nullptr, for_option},
    {"help", no_argument, nullptr, help_option},
    {"version", no_argument, nullptr, version_option},
    {nullptr, 0, nullptr, 0},
};

// Every refused command line ends so, as the tools users know do.
[[noreturn]] void exit_with_hint() {
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program_name());
    std::exit(1);
}

// Prints format with the program's name and word, both shown safely, and exits 1.
[[noreturn]] void refuse(const char* format, const char* word) {
    std::fprintf(stderr, format, program_name(), shown(word).text);
    exit_with_hint();
}

[[noreturn]] void exit_with_usage() {
    std::fprintf(stderr, usage_message, program_name());
    exit_with_hint();
}

// getopt's own messages, in its words, but with the user's word shown safely.
// code is what getopt_long returned (':' for a missing argument); word is the
// argument it last moved past, which holds the option when it is a long one.
[[noreturn]] void refuse_option(int code, const char* word) {
    const char* const program = program_name();
    if (optopt > 0 && optopt < first_long_code) {
        const char letter[] = {static_cast<char>(optopt), '\0'};
        std::fprintf(stderr,
                     code == ':' ? "%s: option requires an argument -- '%s'\n"
                                 : "%s: invalid option -- '%s'\n",
                     program, shown(letter).text);
        exit_with_usage();
    }
    if (optopt != 0) {  // a known long option, misused
        const option* known = long_options;
        while (known->name != nullptr && known->val != optopt) ++known;
        std::fprintf(stderr,
                     code == ':' ? "%s: option '--%s' requires an argument\n"
                                 : "%s: option '--%s' doesn't allow an argument\n",
                     program, known->name != nullptr ? known->name : "?");
        exit_with_usage();
    }
    // An unknown long option, or the start of more than one.
    const char* name = word + 2;
    const std::size_t length = std::strcspn(name, "=");
    const auto is_prefix = [&](const option* known) {
        return std::strncmp(known->name, name, length) == 0;
    };
    int matches = 0;
    for (const option* known = long_options; known->name != nullptr; ++known) {
        matches += is_prefix(known) ? 1 : 0;
    }
    if (matches > 1) {
        std::fprintf(stderr, "%s: option '%s' is ambiguous; possibilities:", program,
                     shown(word).text);
        for (const option* known = long_options; known->name != nullptr; ++known) {
            if (is_prefix(known)) std::fprintf(stderr, " '--%s'", known->name);
        }
        std::fputc('\n', stderr);
    } else {
        std::fprintf(stderr, "%s: unrecognized option '%s'\n", program, shown(word).text);
    }
    exit_with_usage();
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
    } else if (std::strcmp(state, "toggle") == 0) {
        request.toggle_mask[index] = '1';
    } else {
        std::fprintf(stderr, "%s: Invalid state '%s' for output %d (need on, off or toggle)\n",
                     program_name(), shown(state).text, output);
        exit_with_hint();
    }
    request.change_flag = 1;
}

// Refuses what no merge can make sense of, once the whole command line is read.
void check_request(const card_request& request) {
    for (std::size_t i = 0; i < output_count; ++i) {
        if (request.toggle_mask[i] == '1' &&
            (request.on_mask[i] == '1' || request.off_mask[i] == '1')) {
            std::fprintf(stderr, "%s: Output %zu cannot both toggle and switch %s\n",
                         program_name(), i + 1, request.on_mask[i] == '1' ? "on" : "off");
            exit_with_hint();
        }
    }
    if (request.for_ms > 0 && !request.set_flag && !request.change_flag) {
        std::fprintf(stderr, "%s: --for needs -s or -1 ... -8: it puts back what they switch\n",
                     program_name());
        exit_with_hint();
    }
}

void take_port(card_request& request, const char* path) {
    const std::size_t length = std::strlen(path);
    if (length >= port_capacity) {
        std::fprintf(stderr, "%s: Invalid port name\n%s: a port name is at most %zu bytes\n",
                     program_name(), program_name(), port_capacity - 1);
        exit_with_hint();
    }
    std::memcpy(request.port, path, length + 1);
}

void take_pattern(card_request& request, const char* pattern) {
    if (!is_pattern(pattern)) {
        refuse("%s: Invalid pattern '%s' (need 8 characters, each 0 or 1)\n", pattern);
    }
    std::memcpy(request.data, pattern, output_count);
    request.set_flag = 1;
}

// Digits only: strtol would also take blanks, a sign and a trailing word.
// format names the option and its range in the refusal.
int take_milliseconds(const char* text, int least, int most, const char* format) {
    long value = 0;
    const char* digit = text;
    for (; *digit >= '0' && *digit <= '9' && value <= most; ++digit) {
        value = value * 10 + (*digit - '0');
    }
    if (*text == '\0' || *digit != '\0' || value < least || value > most) refuse(format, text);
    return static_cast<int>(value);
}

}  // namespace

card_request parse_options(int argc, char* argv[]) {
    card_request request;
    if (argc > 0) name_program(argv[0]);

    opterr = 0;
    int code = 0;
    while ((code = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        if (code >= '1' && code <= '8') {
            take_output_state(request, code - '0', optarg);
        } else if (code == 'p' || code == port_option) {
            take_port(request, optarg);
        } else if (code == 's' || code == set_option) {
            take_pattern(request, optarg);
        } else if (code == 'g' || code == get_option) {
            request.get_flag = 1;
        } else if (code == verify_option) {
            request.verify_flag = 1;
        } else if (code == trace_option) {
            request.trace_flag = 1;
        } else if (code == pause_option) {
            request.pause_ms = take_milliseconds(
                optarg, 1, 10000, "%s: Invalid pause '%s' (need 1 to 10000 milliseconds)\n");
        } else if (code == gap_option) {
            request.gap_ms = take_milliseconds(
                optarg, 1, 10000, "%s: Invalid gap '%s' (need 1 to 10000 milliseconds)\n");
        } else if (code == wait_option) {
            request.wait_ms = take_milliseconds(
                optarg, 0, 600000, "%s: Invalid wait '%s' (need 0 to 600000 milliseconds)\n");
        } else if (code == for_option) {
            request.for_ms =
                take_milliseconds(optarg, 1, 86400000,
                                  "%s: Invalid duration '%s' (need 1 to 86400000 milliseconds)\n");
        } else if (code == 'h' || code == help_option) {
            std::printf(usage_message, program_name());
            std::fputs(help_text, stdout);
            exit_after_output();
        } else if (code == version_option) {
            std::fputs(version_text, stdout);
            exit_after_output();
        } else {
            refuse_option(code, argv[optind - 1]);
        }
    }
    // getopt moves every word that is not an option behind the options, so the
    // first one left is the first stray word on the command line.
    if (optind < argc) {
        std::fprintf(stderr, "%s: Unexpected argument '%s'\n", program_name(),
                     shown(argv[optind]).text);
        exit_with_usage();
    }
    if (request.port[0] == '\0') {
        std::fprintf(stderr, "%s: Missing port (-p)\n", program_name());
        exit_with_usage();
    }
    check_request(request);
    return request;
}
