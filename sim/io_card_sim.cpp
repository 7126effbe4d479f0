// io_card_sim: serves a simulated I/O card on a pseudo-terminal until interrupted.
// Prints the terminal's path on the first line of stdout, and on stderr a line
// for every command it receives and one for what it did about it.
#include <getopt.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "card_sim.h"
#include "messages.h"

namespace {

constexpr const char* usage_message = "Usage: %s [OPTION]...\n";

constexpr const char* help_text =
    "Serve a simulated eight-output I/O card on a pseudo-terminal until interrupted.\n"
    "Prints the terminal's path on the first line. On standard error it prints a\n"
    "line for every command received and one for its answer. Use the path as\n"
    "io_card's -p.\n"
    "\n"
    "  --states PATTERN  start with these states: 8 characters, each 0 or 1\n"
    "                    (default 00000000)\n"
    "  --baud N          keep the time of a line at N baud, 10 bits a byte: a\n"
    "                    command counts once its last byte is in, an answer\n"
    "                    goes out a byte at a time (default: all at once)\n"
    "  --delay MS        wait MS milliseconds before answering each command\n"
    "  --latency MS      hand answers over only every MS milliseconds, in bursts,\n"
    "                    as a USB serial adapter's latency timer does\n"
    "  --silent          never answer\n"
    "  --stuck           answer set frames but keep the states\n"
    "  --short N         send only the first N bytes of every answer\n"
    "  --extra BYTES     send BYTES after each answer to g, such as '\\r\\n'\n"
    "  --answer BYTES    answer g with BYTES instead of the states\n"
    "  -h, --help        print this help and exit\n"
    "      --version     print the version and exit\n"
    "BYTES take the escapes \\r, \\n, \\\\ and \\xNN.\n"
    "\n"
    "Exit status:\n"
    "  0  stopped by SIGINT, SIGTERM or SIGHUP, or after --help or --version\n"
    "  1  an invalid command line, or no pseudo-terminal could be opened\n";

constexpr const char* version_text =
    "io_card_sim " IO_CARD_VERSION
    "\n"
    "Copyright (C) 2026 The io_card developers.\n"
    "License MIT: <https://opensource.org/licenses/MIT>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

[[noreturn]] void exit_with_usage(const char* program) {
    std::fprintf(stderr, usage_message, program);
    std::exit(1);
}

std::string to_states(const char* program, const char* text) {
    std::string states = text;
    if (states.size() != 8 || states.find_first_not_of("01") != std::string::npos) {
        std::fprintf(stderr, "%s: Invalid states '%s' (need 8 characters, each 0 or 1)\n", program,
                     shown(text).text);
        std::exit(1);
    }
    return states;
}

// option names the option in the refusal, with the range it takes.
int to_count(const char* program, const char* option, const char* text, long least, long most) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < least || value > most) {
        std::fprintf(stderr, "%s: Invalid number '%s' for %s (%ld to %ld)\n", program,
                     shown(text).text, option, least, most);
        std::exit(1);
    }
    return static_cast<int>(value);
}

std::string to_bytes(const char* program, const char* text) {
    const auto bytes = card_sim::unescape(text);
    if (!bytes) {
        std::fprintf(stderr, "%s: Invalid bytes '%s' (use \\r, \\n, \\\\ or \\xNN)\n", program,
                     shown(text).text);
        std::exit(1);
    }
    return *bytes;
}

card_sim::behaviour parse(int argc, char* argv[]) {
    // clang-format off
    const option options[] = {
        {"states", required_argument, nullptr, 't'},
        {"baud", required_argument, nullptr, 'b'},
        {"delay", required_argument, nullptr, 'd'},
        {"latency", required_argument, nullptr, 'l'},
        {"silent", no_argument, nullptr, 'q'},
        {"stuck", no_argument, nullptr, 'k'},
        {"short", required_argument, nullptr, 'n'},
        {"extra", required_argument, nullptr, 'x'},
        {"answer", required_argument, nullptr, 'a'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    // clang-format on
    card_sim::behaviour how;
    int code = 0;
    while ((code = getopt_long(argc, argv, "h", options, nullptr)) != -1) {
        switch (code) {
        case 't': how.states = to_states(argv[0], optarg); break;
        case 'b': how.baud = to_count(argv[0], "--baud", optarg, 1, 4000000); break;
        case 'd':
            how.get.delay_ms = how.set.delay_ms = to_count(argv[0], "--delay", optarg, 0, 60000);
            break;
        case 'l': how.latency_ms = to_count(argv[0], "--latency", optarg, 1, 1000); break;
        case 'q': how.get.max_bytes = how.set.max_bytes = 0; break;
        case 'k': how.stuck = true; break;
        case 'n':
            how.get.max_bytes = how.set.max_bytes =
                to_count(argv[0], "--short", optarg, 0, 1000000);
            break;
        case 'x': how.get.extra = to_bytes(argv[0], optarg); break;
        case 'a': how.get.bytes = to_bytes(argv[0], optarg); break;
        case 'h':
            std::printf(usage_message, argv[0]);
            std::fputs(help_text, stdout);
            std::exit(std::fflush(stdout) == 0 ? 0 : 1);
        case 'V': std::fputs(version_text, stdout); std::exit(std::fflush(stdout) == 0 ? 0 : 1);
        default: exit_with_usage(argv[0]);
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: Unexpected argument '%s'\n", argv[0], shown(argv[optind]).text);
        exit_with_usage(argv[0]);
    }
    return how;
}

}  // namespace

int main(int argc, char* argv[]) {
    const card_sim::behaviour how = parse(argc, argv);

    // Blocked before the card's thread starts, so that only sigwait sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    const card_sim::simulated_card card(
        how, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    if (card.path().empty()) {
        std::perror("io_card_sim: cannot open a pseudo-terminal");
        return 1;
    }
    std::printf("%s\n", card.path().c_str());
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    return 0;
}
