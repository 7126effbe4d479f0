// Switching single outputs: the merge, the refusal to write back a state that was
// not read, and one run at a time on a card.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#include <chrono>
#include <string>
#include <vector>

#include "card_protocol.h"
#include "card_sim.h"
#include "harness.h"
#include "serial_line.h"

namespace {

const std::string no_state =
    "io_card: No valid state from the card on {port}; outputs left unchanged\n";

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

    // clang-format off
    const wire_case cases[] = {
        {"on and off", card_with("10101010"), {"-1", "off", "-8", "on"}, "gs00101011s", "00101011", "", 0},
        {"on beats off", card_with("00000000"), {"-5", "off", "-5", "on"}, "gs00001000s", "00001000", "", 0},
        {"bytes after the states are printed first", crlf, {"-3", "on"}, "gs00100000s", "\r\n00100000", "", 0},
        {"with -g, g goes out twice", card_with("01000000"), {"-g", "-2", "off"}, "ggs00000000s",
         "0100000000000000", "", 0},
        {"all three stages", card_with("00000000"), {"-1", "on", "-g", "-s", "00000011"},
         "s00000011sggs10000011s", "00000011" "00000011" "10000011", "", 0},
        {"no answer", silent_get, {"-1", "on"}, "g", "", no_state, 1},
        {"no answer after a set", silent_get, {"-s", "11110000", "-1", "off"}, "s11110000sg", "11110000", no_state, 1},
        {"short answer", short_get, {"-6", "on"}, "g", "", no_state, 1},
        {"garbled answer", garbled, {"-7", "on"}, "g", "", no_state, 1},
        {"garbled first byte", garbled_first, {"-7", "on"}, "g", "", no_state, 1},
        on_the_clock({"late answer", late, {"-1", "on"}, "g", "", no_state, 1}),
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
    request.on_mask[7] = '1';
    const int fd = open_port(request);
    set_line(fd);
    card.send("00001111");
    testing::internal::CaptureStdout();
    merge_outputs(fd, request);
    const std::string out = testing::internal::GetCapturedStdout();
    close(fd);
    EXPECT_EQ(out, "0000111111110001");
    EXPECT_TRUE(card.await(11));
    EXPECT_EQ(card.received(), "gs11110001s");
}

// Each run switches one more output on; interleaved frames, or an answer taken
// by the wrong run, would lose one or show in that run's output. The runs start
// up, wait at a gate and go together. Also on a card that answers 5 ms late at
// 9600 baud. Eight runs, one after the other, must end within the 2 s that each
// waits for the card; the less time they take, the longer a stall of the whole
// machine (a virtual machine whose host is busy) they outlast. So the gap is
// 5 ms where an answer comes in one piece, and io_card's 20 ms where it is paced.
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
            for (const auto& arg : on_card(card, {gap, "-" + std::to_string(output), "on"})) {
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
            results.push_back(finish(run, 10000));
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

// A run waits up to 2 s for a card that another holds: it has the card once let
// go within them, and is busy, the holder's line untouched, when held past them.
// A run lets go of the card before it prints: held up by a full stdout, it holds
// up no other.
TEST(Change, WaitsForAHeldCardUpToTwoSeconds) {
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

    const int held = open(card.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    termios line{};
    ASSERT_EQ(tcgetattr(held, &line), 0);
    cfsetspeed(&line, B115200);
    ASSERT_EQ(tcsetattr(held, TCSANOW, &line), 0);
    const auto start = std::chrono::steady_clock::now();
    const run_result busy = run_on(card, {"-g"});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(busy.err, "io_card: " + card.path() + " is busy\n");
    EXPECT_EQ(busy.status, 1);
    ASSERT_EQ(tcgetattr(held, &line), 0);
    close(held);
    EXPECT_EQ(cfgetospeed(&line), B115200);
    EXPECT_EQ(card.received(), "s00000000sgg");
}

}  // namespace
