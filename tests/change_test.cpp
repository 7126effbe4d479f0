// Switching single outputs: the merge, the refusal to write back a state that was
// not read, and one run at a time on a card.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "card_protocol.h"
#include "card_sim.h"
#include "harness.h"
#include "serial_line.h"

namespace {

using namespace std::string_literals;

const std::string no_state =
    "io_card: No valid state from the card on {port}; outputs left unchanged\n";
const std::string no_answer =
    "io_card: No answer from the card on {port}; outputs left unchanged\n";

TEST(Change, MergesRequestsIntoTheCardsStates) {
    auto crlf = card_with("00000000");
    crlf.get.extra = "\r\n";
    auto silent_get = card_with("11110000");
    silent_get.get.max_bytes = 0;
    auto short_get = card_with("00000000");
    short_get.get.max_bytes = 4;
    auto garbled = card_with("00000000");
    garbled.get.bytes = "0101x101";
    auto garbled_first = card_with("00000000");
    garbled_first.get.bytes = "x1010101";
    auto late = card_with("00000000");
    late.get.delay_ms = 100;
    auto stuck = card_with("00000000");
    stuck.stuck = true;
    auto read_back_lost = card_with("11111111");  // the second 'g', the read-back
    read_back_lost.get.lost = 2;
    auto restore_lost = card_with("11111111");  // the second 'g', the way back's
    restore_lost.get.lost = 2;
    // The port is taken again for the way back.
    std::string trace_for;
    for (const char* line : {"", "> g", "< 11111111", "> s11011111s", "< 11011111", "", "> g",
                             "< 11011111", "> s11111111s", "< 11111111"}) {
        trace_for += line[0] == '\0' ? no_serial_flags : "io_card: T ms "s + line + "\n";
    }

    // clang-format off
    const wire_case cases[] = {
        {"on and off", card_with("10101010"), {"-1", "off", "-8", "on"}, "gs00101011s", "00101011", "", 0},
        {"on beats off", card_with("00000000"), {"-5", "off", "-5", "on"}, "gs00001000s", "00001000", "", 0},
        {"bytes after the states are printed first", crlf, {"-3", "on"}, "gs00100000s", "\r\n00100000", "", 0},
        {"with -g, g goes out twice", card_with("01000000"), {"-g", "-2", "off"}, "ggs00000000s",
         "0100000000000000", "", 0},
        {"all three stages", card_with("00000000"), {"-1", "on", "-g", "-s", "00000011"},
         "s00000011sggs10000011s", "00000011" "00000011" "10000011", "", 0},
        {"no answer", silent_get, {"-1", "on"}, "g", "", no_answer, 1},
        {"no answer after a set", silent_get, {"-s", "11110000", "-1", "off"}, "s11110000sg", "11110000", no_answer, 1},
        {"short answer", short_get, {"-6", "on"}, "g", "", no_state, 1},
        {"garbled answer", garbled, {"-7", "on"}, "g", "", no_state, 1},
        {"garbled first byte", garbled_first, {"-7", "on"}, "g", "", no_state, 1},
        on_the_clock({"late answer", late, {"-1", "on"}, "g", "", no_answer, 1}),
        {"toggle", card_with("10100000"), {"-1", "toggle", "-2", "toggle", "-2", "toggle"}, "gs01100000s",
         "01100000", "", 0},
        // --for: the outputs switched go back to what the card reported first.
        // The states are read ahead of time, as long ahead as the first reading
        // took and a gap more (600 ms here), so that the frame leaves on time.
        apart(1000, {"--for: off, then back", card_with("11111111"), {"--gap=300", "--trace", "-3", "off", "--for=1000"},
                    "gs11011111sgs11111111s", "1101111111111111", trace_for, 0}),
        {"--for with a pattern", card_with("11110000"), {"-s", "00111100", "--for=1"},
         "gs00111100sgs11110000s", "0011110011110000", "", 0},
        {"--for: a toggle toggles back", card_with("10101010"), {"-1", "toggle", "-8", "toggle", "--for=1"},
         "gs00101011sgs10101010s", "0010101110101010", "", 0},
        {"--for: a pattern, then a change", card_with("00000000"), {"-s", "11110000", "-1", "off", "--for=1"},
         "gs11110000sgs01110000sgs00000000s", "11110000" "01110000" "00000000", "", 0},
        {"--for: nothing switched, nothing to put back", card_with("00100000"), {"-3", "on", "--for=1"},
         "gs00100000s", "00100000", "", 0},
        {"--for --verify reads back both", card_with("11111111"), {"--verify", "-3", "off", "--for=1"},
         "gs11011111sggs11111111sg", "1101111111111111", "", 0},
        // A failure once the frame has left still puts back, then fails the run.
        {"--for: a stuck card", stuck, {"--verify", "-1", "on", "--for=1"}, "gs10000000sggs00000000sg",
         "1000000000000000", "io_card: the card on {port} holds 00000000, not 10000000\n", 1},
        {"--for: a read-back lost", read_back_lost, {"--verify", "-3", "off", "--for=1"},
         "gs11011111sggs11111111sg", "1101111111111111",
         "io_card: the card on {port} holds (no answer), not 11011111\n", 1},
        {"--for: the way back asks again", restore_lost, {"--wait=10000", "-3", "off", "--for=1"},
         "gs11011111sggs11111111s", "1101111111111111", "", 0},
    };
    // clang-format on
    for (const auto& c : cases) expect_run(c);
}

// Bytes queued when the stage starts answered an earlier stage too late for its
// pause: they are printed, and only the answer to the stage's own 'g' is merged.
TEST(Change, PrintsLateAnswersAndMergesOnlyItsOwn) {
    const card_sim::simulated_card card(card_with("11110000"));
    card_request request;
    card.path().copy(request.port, sizeof request.port - 1);
    request.pause_ms = 2000;  // time enough for any load
    request.on_mask[7] = '1';
    const int fd = open_port(request);
    set_line(fd);
    card.send("00001111");
    testing::internal::CaptureStdout();
    card_answer states;
    read_states(fd, request, states);
    merge_outputs(request, states);
    write_pattern(fd, request);
    const std::string out = testing::internal::GetCapturedStdout();
    close(fd);
    EXPECT_EQ(out, "0000111111110001");
    EXPECT_TRUE(card.await(11));
    EXPECT_EQ(card.received(), "gs11110001s");
}

// With --for, a run that has switched outputs owns the way back. A stop signal
// before its frame ends it at once, switching nothing. After it, the signal
// waits: it cuts the wait short, the outputs go back, and then the run ends by
// it. Each stage is reached by the card's progress, and lasts long enough (a
// turnaround of 500 ms, or a wait of 600 s) for the signal to land in it; the
// wait, by the first answer on stdout, printed when the wait begins.
TEST(Change, StopSignalsAtEveryStageOfATimedRun) {
    auto slow_get = card_with("11111111");
    slow_get.get.delay_ms = 5000;
    auto slow_set = card_with("11111111");
    slow_set.set.delay_ms = 500;
    auto slow_restore = card_with("11111111");
    slow_restore.get.delay_ms = 500;
    auto read_back_lost = card_with("11111111");
    read_back_lost.get.lost = 2;
    const std::string off_and_back = "gs11011111sgs11111111s";
    struct stage_case {
        const char* name;
        card_sim::behaviour card;
        const char* for_ms;
        std::size_t received, sent;  // the card's progress that marks the stage
        std::string wire;
        bool printed = false;  // marked by the first answer on stdout too
        // With --verify, marked by this failure on stderr too: the run still
        // puts back, then ends with status 1 whatever stopped its wait.
        std::string failed = {};
    };
    // clang-format off
    const stage_case stages[] = {
        {"before the frame", slow_get, "--for=600000", 1, 0, "g"},
        {"while the frame is answered", slow_set, "--for=600000", 11, 8, off_and_back},
        {"in the wait", card_with("11111111"), "--for=600000", 11, 16, off_and_back, true},
        {"in the wait after a failure", read_back_lost, "--for=600000", 12, 16, "gs11011111sggs11111111sg", true,
         " holds (no answer), not 11011111"},
        {"while putting back", slow_restore, "--for=1", 12, 16, off_and_back},
    };
    // clang-format on
    // The three signals go to three runs at once, each on a card of its own, which
    // keeps serial flags as an FTDI adapter does: low latency, set while the port
    // is open, is put back whatever stops the run.
    constexpr int signals[] = {SIGINT, SIGTERM, SIGHUP};
    const serial_flags_file flags[3];
    for (const auto& stage : stages) {
        std::unique_ptr<card_sim::simulated_card> cards[3];
        child_process runs[3];
        for (int i = 0; i < 3; ++i) {
            cards[i] = std::make_unique<card_sim::simulated_card>(stage.card);
            flags[i].start();
            std::vector<std::string> args{"-3", "off", stage.for_ms};
            if (!stage.failed.empty()) args.emplace_back("--verify");
            runs[i] = spawn(IO_CARD_PATH, "io_card", on_card(*cards[i], args));
        }
        stop_preloading();
        std::string printed[3];
        std::string failed[3];
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(cards[i]->await(stage.received, stage.sent));
            if (stage.printed) printed[i] = read_line(runs[i].out_fd, 10000, 8);
            if (!stage.failed.empty()) failed[i] = read_line(runs[i].err_fd, 10000);
            kill(runs[i].pid, signals[i]);
        }
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(std::string(stage.name) + ", signal " + std::to_string(signals[i]));
            const run_result result = finish(runs[i], 10000);
            if (stage.failed.empty()) {
                EXPECT_EQ(result.signal, signals[i]) << result.status << result.err;
            } else {
                EXPECT_EQ(failed[i], "io_card: the card on " + cards[i]->path() + stage.failed);
                EXPECT_EQ(result.status, 1);
            }
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(printed[i] + result.out, stage.wire.size() > 1 ? "1101111111111111" : "");
            EXPECT_TRUE(cards[i]->await(stage.wire.size()));
            EXPECT_EQ(cards[i]->received(), stage.wire);
            // Set and put back once for each time the port was opened.
            EXPECT_EQ(flags[i].history(), stage.wire.size() > 1 ? "0 8192 0 8192 0" : "0 8192 0");
        }
    }

    // Gone in the wait, the card cannot be put back: the run says which outputs
    // may still be switched, and fails whatever stopped it.
    auto card = std::make_unique<card_sim::simulated_card>(card_with("11111111"));
    const std::string port = card->path();
    auto lost = spawn(IO_CARD_PATH, "io_card",
                      on_card(*card, {"-3", "off", "-5", "toggle", "--for=600000"}));
    EXPECT_EQ(read_line(lost.out_fd, 10000, 8), "11010111");
    card.reset();
    kill(lost.pid, SIGTERM);
    const run_result unplugged = finish(lost, 10000);
    EXPECT_EQ(unplugged.err,
              "Error opening " + port + "!\nio_card: " + port +
                  ": No such file or directory\nio_card: not switched back, and may "
                  "still be as this run switched them: output 3 off, output 5 off\n");
    EXPECT_EQ(unplugged.status, 1);

    // Two timed runs that overlap each put back their own outputs alone, and a
    // run whose reader has gone in the wait puts back all the same. A signal that the caller
    // ignores, as nohup does SIGHUP, stays ignored.
    const card_sim::simulated_card shared(card_with("11111111"));
    std::vector<std::string> nohup{"-c", "trap '' HUP; exec -a io_card \"$0\" \"$@\"",
                                   IO_CARD_PATH};
    for (const auto& arg : on_card(shared, {"-3", "off", "--for=600000"})) nohup.push_back(arg);
    auto third = spawn("/bin/bash", "bash", nohup);
    EXPECT_EQ(read_line(third.out_fd, 10000, 8), "11011111");
    auto fifth = spawn(IO_CARD_PATH, "io_card", on_card(shared, {"-5", "off", "--for=600000"}));
    EXPECT_EQ(read_line(fifth.out_fd, 10000, 8), "11010111");
    close(std::exchange(fifth.out_fd, -1));
    kill(third.pid, SIGHUP);
    kill(third.pid, SIGTERM);
    EXPECT_EQ(finish(third, 10000).signal, SIGTERM);
    kill(fifth.pid, SIGHUP);
    const run_result unread = finish(fifth, 10000);
    EXPECT_EQ(unread.err, "io_card: Error writing to standard output: Broken pipe\n");
    EXPECT_EQ(unread.status, 1);
    EXPECT_TRUE(shared.await(44));
    EXPECT_EQ(shared.received(), "gs11011111sgs11010111sgs11110111sgs11111111s");
}

// Each run switches one more output on; interleaved frames, or an answer taken
// by the wrong run, would lose one or show in that run's output. The runs start
// up, wait at a gate and go together. Also on a card that answers 5 ms late at
// 9600 baud. Each waits up to a minute for the card, and 10 s for each answer
// to begin, so that no stall of a loaded machine (eight runs starting at once
// under the sanitizers) makes one busy or silent, and is given a minute and
// more to end, since it may be the last to get the card; to keep the test short the
// gap is 5 ms where an answer comes in one piece, and io_card's 20 ms where it
// is paced.
TEST(Change, ConcurrentRunsFollowEachOther) {
    card_sim::behaviour late;
    late.baud = 9600;
    late.get.delay_ms = late.set.delay_ms = 5;
    for (const auto& how : {card_sim::behaviour{}, card_sim::behaviour{}, late}) {
        const card_sim::simulated_card card(how);
        int gate[2];
        ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
        std::vector<child_process> runs;
        for (int output = 1; output <= 8; ++output) {
            std::vector<std::string> args{
                "-c", "echo ready; read -r _; exec -a io_card \"$0\" \"$@\" </dev/null",
                IO_CARD_PATH};
            const std::string gap = how.baud > 0 ? "--gap=20" : "--gap=5";
            for (const auto& arg : on_card(card, {gap, "--pause=10000", "--wait=60000",
                                                  "-" + std::to_string(output), "on"})) {
                args.push_back(arg);
            }
            runs.push_back(spawn("/bin/bash", "bash", args, gate[0]));
        }
        close(gate[0]);
        for (const auto& run : runs) EXPECT_EQ(read_line(run.out_fd, 10000), "ready");
        const std::string go(runs.size(), '\n');
        EXPECT_EQ(write(gate[1], go.data(), go.size()), static_cast<ssize_t>(go.size()));
        close(gate[1]);
        std::vector<run_result> results;
        for (auto& run : runs) {
            results.push_back(finish(run, 70000));
            EXPECT_EQ(results.back().status, 0) << results.back().err;
            EXPECT_EQ(results.back().err, "");
        }
        ASSERT_TRUE(card.await(8 * 11)) << card_sim::escape(card.received());
        EXPECT_EQ(card.states(), "11111111");

        const std::string wire = card.received();
        ASSERT_EQ(wire.size(), 8u * 11u) << card_sim::escape(wire);
        std::string states = "00000000";
        std::vector<std::string> answers(8);  // what each run's own set frame was answered
        for (std::size_t at = 0; at < wire.size(); at += 11) {
            const std::string exchange = wire.substr(at, 11);
            ASSERT_EQ(exchange.substr(0, 2) + exchange.substr(10), "gss") << card_sim::escape(wire);
            const std::string written = exchange.substr(2, 8);
            int switched = 0;
            for (std::size_t i = 0; i < 8; ++i) {
                ASSERT_TRUE(written[i] == states[i] || (states[i] == '0' && written[i] == '1'));
                if (written[i] != states[i]) {
                    ++switched;
                    answers[i] = written;
                }
            }
            EXPECT_EQ(switched, 1) << card_sim::escape(wire);
            states = written;
        }
        // Each run prints the answer to its own frame, whole, and nothing else.
        for (std::size_t i = 0; i < results.size(); ++i) {
            EXPECT_EQ(results[i].out, answers[i]) << "the run of -" << i + 1 << " on";
        }
    }
}

// A run waits as long as --wait says (2 s unless told) for a card that another
// holds: it has the card once let go within that time, and is busy, the
// holder's line untouched, when held past it; --wait=0 does not wait at all.
// A run lets go of the card before it prints: held up by a full stdout, it
// holds up no other.
TEST(Change, WaitsForAHeldCard) {
    auto chatty = card_with("00000000");
    chatty.get.extra = std::string(4088, '.');  // with the set's answer, more than the pipe takes
    const card_sim::simulated_card card(chatty);
    // Each answer is over 500 ms after it came: time for the next run to start.
    auto holder =
        spawn(IO_CARD_PATH, "io_card", on_card(card, {"--gap=500", "-s", "00000000", "-g"}));
    fcntl(holder.out_fd, F_SETPIPE_SZ, 4096);  // less than it prints, where pages are 4 KiB
    ASSERT_TRUE(card.await(11, 8 + 4096));
    const run_result next = run_on(card, {"-g"});
    EXPECT_EQ(next.out, "00000000" + std::string(4088, '.')) << next.err;
    EXPECT_EQ(finish(holder, 10000).out, "00000000" + next.out);
    EXPECT_EQ(card.received(), "s00000000sgg");

    struct hold_case {
        std::vector<std::string> args;
        int held_ms;            // let go after this long; 0: held until the run is over
        int least_ms, most_ms;  // how long the run waits
    };
    const hold_case cases[] = {
        {{"--wait=5000", "-g"}, 3000, 3000, 60000},
        {{"-g"}, 0, 2000, 60000},
        {{"--wait=0", "-g"}, 0, 0, 2000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const int held = open(card.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_EQ(flock(held, LOCK_EX), 0);
        termios line{};
        ASSERT_EQ(tcgetattr(held, &line), 0);
        cfsetspeed(&line, B115200);
        ASSERT_EQ(tcsetattr(held, TCSANOW, &line), 0);
        const std::size_t received = card.received().size();
        const auto start = std::chrono::steady_clock::now();
        auto run = spawn(IO_CARD_PATH, "io_card", on_card(card, c.args));
        if (c.held_ms > 0) {
            usleep(static_cast<useconds_t>(c.held_ms) * 1000);
            close(held);
        }
        const run_result result = finish(run, 60000);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(c.least_ms));
        EXPECT_LT(waited, std::chrono::milliseconds(c.most_ms));
        if (c.held_ms > 0) {
            EXPECT_EQ(result.out, "00000000" + std::string(4088, '.')) << result.err;
            continue;
        }
        ASSERT_EQ(tcgetattr(held, &line), 0);
        close(held);
        EXPECT_EQ(result.err, "io_card: " + card.path() + " is busy\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(cfgetospeed(&line), B115200);
        EXPECT_EQ(card.received().size(), received);
    }
}

}  // namespace
