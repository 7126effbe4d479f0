// The command line: what a valid one puts in the request, and how an invalid one
// is refused by the real program before anything is opened.
#include <gtest/gtest.h>

#include <unistd.h>
#include <string>
#include <vector>

#include "card_sim.h"
#include "harness.h"
#include "messages.h"
#include "options.h"

namespace {

using namespace std::string_literals;

card_request parse(std::vector<std::string> args) {
    args.insert(args.begin(), "io_card");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    optind = 0;  // a full restart of getopt for every parse
    return parse_options(static_cast<int>(args.size()), argv.data());
}

std::string field(const char (&bytes)[output_count]) {
    return std::string(bytes, output_count);
}

TEST(Options, ValidCommandLinesFillTheRequest) {
    const std::string longest(255, 'x');
    struct valid_case {
        std::vector<std::string> args;
        std::string port, on, off, data;
        int set, get, change;
    };
    // clang-format off
    const valid_case cases[] = {
        {{"-p", "/dev/ttyUSB0"}, "/dev/ttyUSB0", "00000000", "00000000", "00000000", 0, 0, 0},
        {{"-p", longest, "-p", "B"}, "B", "00000000", "00000000", "00000000", 0, 0, 0},
        {{"-p", longest}, longest, "00000000", "00000000", "00000000", 0, 0, 0},
        {{"-p/dev/x", "-s10101010", "-g"}, "/dev/x", "00000000", "00000000", "10101010", 1, 1, 0},
        {{"-s", "11110000", "-p", "P", "-s", "00001111"}, "P", "00000000", "00000000", "00001111", 1, 0, 0},
        {{"-p", "P", "-3", "on", "-3", "off"}, "P", "00100000", "00100000", "00000000", 0, 0, 1},
        {{"-8", "off", "-g", "-1on", "-p", "P"}, "P", "10000000", "00000001", "00000000", 0, 1, 1},
        {{"--port=/dev/x", "--set", "10101010", "--get"}, "/dev/x", "00000000", "00000000", "10101010", 1, 1, 0},
        {{"--port", "P", "--set=11110000"}, "P", "00000000", "00000000", "11110000", 1, 0, 0},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const card_request request = parse(c.args);
        EXPECT_EQ(request.port, c.port);
        EXPECT_EQ(field(request.on_mask), c.on);
        EXPECT_EQ(field(request.off_mask), c.off);
        EXPECT_EQ(field(request.data), c.data);
        EXPECT_EQ(request.set_flag, c.set);
        EXPECT_EQ(request.get_flag, c.get);
        EXPECT_EQ(request.change_flag, c.change);
    }
    EXPECT_EQ(parse({"-p", "P"}).pause_ms, 50);
    EXPECT_EQ(parse({"-p", "P", "--pause=1"}).pause_ms, 1);
    EXPECT_EQ(parse({"-p", "P", "--pause", "10000"}).pause_ms, 10000);
    EXPECT_EQ(parse({"-p", "P"}).gap_ms, 20);
    EXPECT_EQ(parse({"-p", "P", "--gap", "4"}).gap_ms, 4);
    const card_request flags = parse({"-p", "P", "--verify", "--trace"});
    EXPECT_EQ(flags.verify_flag + flags.trace_flag, 2);
    EXPECT_EQ(parse({"-p", "P"}).wait_ms, 2000);
    EXPECT_EQ(parse({"-p", "P", "--wait=0"}).wait_ms, 0);
    EXPECT_EQ(parse({"-p", "P", "--wait", "600000"}).wait_ms, 600000);
    const card_request timed = parse({"-p", "P", "-2", "toggle", "-2", "toggle", "--for=86400000"});
    EXPECT_EQ(field(timed.toggle_mask), "01000000");
    EXPECT_EQ(timed.change_flag, 1);
    EXPECT_EQ(timed.for_ms, 86400000);
    EXPECT_EQ(parse({"-p", "P", "-s", "10101010", "--for", "1"}).for_ms, 1);
}

TEST(Options, InvalidCommandLinesAreRefusedBeforeOpening) {
    // The port does not exist: had io_card opened it, "Error opening" would show.
    const std::string port = "/nonexistent/ttyS9";
    const std::string hint = "Try 'io_card --help' for more information.\n";
    const std::string usage =
        "Usage: io_card -p port [-s (8bit data)] [-g] [-1..8 (on|off)]\n" + hint;
    const std::string pattern_need = "' (need 8 characters, each 0 or 1)\n" + hint;
    const std::string pause_need = "' (need 1 to 10000 milliseconds)\n" + hint;
    const std::string for_need = "' (need 1 to 86400000 milliseconds)\n" + hint;
    const std::string state_need = " (need on, off or toggle)\n" + hint;
    struct invalid_case {
        std::vector<std::string> args;
        std::string err;
    };
    // clang-format off
    const invalid_case cases[] = {
        {{"-g"}, "io_card: Missing port (-p)\n" + usage},
        {{"-p", ""}, "io_card: Missing port (-p)\n" + usage},
        {{"-p", std::string(256, 'x')},
         "io_card: Invalid port name\nio_card: a port name is at most 255 bytes\n" + hint},
        {{"-p", port, "-s", "1111000011"}, "io_card: Invalid pattern '1111000011" + pattern_need},
        {{"-p", port, "-s", "x1010101"}, "io_card: Invalid pattern 'x1010101" + pattern_need},
        {{"-p", port, "-s", "1010101x"}, "io_card: Invalid pattern '1010101x" + pattern_need},
        {{"-p", port, "-3", "ON"}, "io_card: Invalid state 'ON' for output 3" + state_need},
        {{"-p", port, "-s", "bad", "-3", "bad"}, "io_card: Invalid pattern 'bad" + pattern_need},
        {{"-p", port, "-3", "on", "4", "on"}, "io_card: Unexpected argument '4'\n" + usage},
        {{"-p", port, "-9", "on"}, "io_card: invalid option -- '9'\n" + usage},
        {{"-p", port, "-3"}, "io_card: option requires an argument -- '3'\n" + usage},
        {{"-p", port, "--pause"}, "io_card: option '--pause' requires an argument\n" + usage},
        {{"-p", port, "--help=1"}, "io_card: option '--help' doesn't allow an argument\n" + usage},
        {{"-p", port, "-g\x01"}, "io_card: invalid option -- '\\x01'\n" + usage},
        {{"-p", port, "--\x1b[31m"}, "io_card: unrecognized option '--\\x1b[31m'\n" + usage},
        {{"-p", port, "--ver"}, "io_card: option '--ver' is ambiguous; possibilities: '--verify' '--version'\n" + usage},
        // Words reach the terminal with their control bytes escaped and UTF-8 kept.
        {{"-p", port, "-s", "\x1b[2J\x7f"}, "io_card: Invalid pattern '\\x1b[2J\\x7f" + pattern_need},
        {{"-p", port, "-3", "ön"}, "io_card: Invalid state 'ön' for output 3" + state_need},
        {{"-p", port, "-g", "\r\x1b]0;x\x07"}, "io_card: Unexpected argument '\\x0d\\x1b]0;x\\x07'\n" + usage},
        {{"-p", port, "--pause=0"}, "io_card: Invalid pause '0" + pause_need},
        {{"-p", port, "--pause", "10001"}, "io_card: Invalid pause '10001" + pause_need},
        {{"-p", port, "--pause=99999999999"}, "io_card: Invalid pause '99999999999" + pause_need},
        {{"-p", port, "--pause= 20"}, "io_card: Invalid pause ' 20" + pause_need},
        {{"-p", port, "--pause=20ms"}, "io_card: Invalid pause '20ms" + pause_need},
        {{"-p", port, "--gap=0"}, "io_card: Invalid gap '0" + pause_need},
        {{"-p", port, "--wait=600001"}, "io_card: Invalid wait '600001' (need 0 to 600000 milliseconds)\n" + hint},
        {{"-p", port, "-1", "on", "--for=0"}, "io_card: Invalid duration '0" + for_need},
        {{"-p", port, "-1", "on", "--for=86400001"}, "io_card: Invalid duration '86400001" + for_need},
        {{"-p", port, "-g", "--for=1"}, "io_card: --for needs -s or -1 ... -8: it puts back what they switch\n" + hint},
        {{"-p", port, "-3", "toggle", "-3", "on"}, "io_card: Output 3 cannot both toggle and switch on\n" + hint},
        {{"-p", port, "-8", "off", "-8", "toggle"}, "io_card: Output 8 cannot both toggle and switch off\n" + hint},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const run_result result = run_io_card(c.args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
    }
    auto nameless = spawn(IO_CARD_PATH, "", {"-p", port, "-s", "bad"});
    EXPECT_EQ(finish(nameless, 10000).err, "io_card: Invalid pattern 'bad" + pattern_need);
    auto renamed = spawn(IO_CARD_PATH, "/usr/bin/io_card", {});
    EXPECT_EQ(finish(renamed, 10000).err,
              "/usr/bin/io_card: Missing port (-p)\nUsage: /usr/bin/io_card -p port "
              "[-s (8bit data)] [-g] [-1..8 (on|off)]\nTry '/usr/bin/io_card --help' "
              "for more information.\n");
}

TEST(Options, HelpAndVersion) {
    const std::string usage = "Usage: io_card -p port [-s (8bit data)] [-g] [-1..8 (on|off)]\n";
    for (const auto* help : {"-h", "--help"}) {
        const run_result result = run_io_card({help});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.substr(0, usage.size()), usage);
        EXPECT_NE(result.out.find("Exit status:"), std::string::npos);
        EXPECT_EQ(result.err, "");
    }
    for (const auto& [path, name] :
         {std::pair{IO_CARD_PATH, "io_card"}, {IO_CARD_SIM_PATH, "io_card_sim"}}) {
        auto child = spawn(path, name, {"--version"});
        const run_result version = finish(child, 10000);
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out,
                  name + " "s IO_CARD_VERSION
                         "\n"
                         "Copyright (C) 2026 The io_card developers.\n"
                         "License MIT: <https://opensource.org/licenses/MIT>.\n"
                         "This is free software: you are free to change and redistribute it.\n"
                         "There is NO WARRANTY, to the extent permitted by law.\n");
    }
    const run_result bogus = run_io_card({"--bogus"});
    EXPECT_EQ(bogus.status, 1);
    EXPECT_EQ(bogus.err, "io_card: unrecognized option '--bogus'\n" + usage +
                             "Try 'io_card --help' for more information.\n");
}

// Words from the command line and the system keep their letters; bytes from the
// card keep only printable ASCII. Neither lets a byte work on the terminal.
TEST(Messages, ShowWordsAndCardBytes) {
    const std::string every_control(255, '\x01');
    struct shown_case {
        std::string bytes, word, card;
    };
    // clang-format off
    // NBSP, letters, emoji, then the lowest or the highest character that each range of
    // lead bytes begins: U+00C0, U+0800, U+FFFD, U+10000, U+100000.
    const std::string valid = "\xc2\xa0\xc3\xb6\xe2\x82\xac\xf0\x9f\x98\x80\xc3\x80\xe0\xa0\x80\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x80\x80\x80";
    // Overlong, a surrogate, past U+10FFFF, a second byte past its range, overlong in four
    // bytes, a lead of nothing: every byte is shown as \xNN.
    const std::string invalid = "\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xc3\\xc0\\xf0\\x8f\\xbf\\xbf\\xf8\\x88\\x80\\x80";
    const shown_case cases[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"\x1b[2J\x7f\r", "\\x1b[2J\\x7f\\x0d", "\\x1b[2J\\x7f\\x0d"},
        {"a\\b ~", "a\\b ~", "a\\x5cb ~"},
        {"\xc2\x9b" "2J", "\\xc2\\x9b2J", "\\xc2\\x9b2J"},      // C1: CSI
        {"\xe0\x9f\xbf", "\\xe0\\x9f\\xbf", "\\xe0\\x9f\\xbf"},  // overlong in three bytes: U+07FF
        {valid, valid, "\\xc2\\xa0\\xc3\\xb6\\xe2\\x82\\xac\\xf0\\x9f\\x98\\x80\\xc3\\x80\\xe0\\xa0\\x80\\xef\\xbf\\xbd\\xf0\\x90\\x80\\x80\\xf4\\x80\\x80\\x80"},
        {"\xff\xe2\x82x", "\\xff\\xe2\\x82x", "\\xff\\xe2\\x82x"},  // invalid, cut short
        {*card_sim::unescape(invalid), invalid, invalid},
        {"\xe2\x82\xac\x80", "\xe2\x82\xac\\x80", "\\xe2\\x82\\xac\\x80"},  // a stray continuation
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(shown(c.bytes.c_str()).text, c.word);
        char text[256];
        EXPECT_EQ(show_bytes(c.bytes.data(), c.bytes.size(), text, sizeof text), c.card.size());
        EXPECT_EQ(text, c.card);
    }
    char tight[8];  // room for "a" and the zero, not for the whole \xff after it
    EXPECT_EQ(show_bytes("a\xff", 2, tight, 5), 1u);
    std::string escaped;
    for (int i = 0; i < 255; ++i) escaped += "\\x01";
    EXPECT_EQ(shown(every_control.c_str()).text, escaped);  // a port always fits
    const std::string cut = shown((every_control + every_control).c_str()).text;
    EXPECT_EQ(cut.substr(0, escaped.size()) + cut.substr(cut.size() - 3), escaped + "...");
    // The widest to show, eight characters for two bytes, are cut at a whole one
    // that leaves the room for one more and "...".
    std::string csi, widest;
    for (int i = 0; i < 255; ++i) csi += "\xc2\x9b";
    for (int i = 0; i < 130; ++i) widest += "\\xc2\\x9b";
    EXPECT_EQ(shown(csi.c_str()).text, widest + "...");

    // --trace's times: tenths of a millisecond since the trace began, rounded.
    constexpr long long began = 5'000'000'000;
    start_trace(true, began);
    testing::internal::CaptureStderr();
    for (const long long after : {0LL, 49'999LL, 50'000LL, 1'000'000'000LL})
        trace(began + after, '>', "g", 1);
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "io_card: 0.0 ms > g\nio_card: 0.0 ms > g\nio_card: 0.1 ms > g\nio_card: 1000.0 ms > g\n");
}

}  // namespace
