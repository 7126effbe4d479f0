// A card on a serial server, reached with RFC 2217: through Debian's ser2net, the
// same runs with the same bytes as on a local line; servers that are busy, gone,
// or break Telnet's rules, scripted here; and the Telnet decoder on its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge_sim.h"
#include "card_sim.h"
#include "harness.h"
#include "serial_server.h"

namespace {

// A socket listening on a free loopback port, whose address it fills in; -1 if
// it cannot be had.
int listen_on_loopback(int backlog, sockaddr_in& address) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener == -1 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, backlog) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    return listener;
}

using namespace std::string_literals;

// A server on a loopback port for one client. It sends greeting at once, then:
// waits for 'g', sends answer and hangs up; or the same, then listens on until
// the client hangs up; or turns the client away: hangs up its side at once and
// listens. heard() is what it was sent, once the connection is over.
enum class ending { answer_and_hang_up, answer_and_listen, turn_away };

class scripted_server {
public:
    scripted_server(std::string greeting, std::string answer, ending how) {
        sockaddr_in address{};
        listener_ = listen_on_loopback(1, address);
        url_ = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        thread_ = std::thread([this, greeting, answer, how] {
            pollfd waiting{listener_, POLLIN, 0};
            if (poll(&waiting, 1, 10000) != 1) return;
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            send(client, greeting.data(), greeting.size(), MSG_NOSIGNAL);
            if (how == ending::turn_away) shutdown(client, SHUT_WR);
            char byte = 0;
            waiting.fd = client;
            const auto listen = [&](bool until_g) {
                while ((!until_g || heard_.find('g') == std::string::npos) &&
                       poll(&waiting, 1, 10000) == 1 && recv(client, &byte, 1, 0) == 1) {
                    heard_ += byte;
                }
            };
            if (how != ending::turn_away) listen(true);
            send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
            if (how != ending::answer_and_hang_up) listen(false);
            close(client);
        });
    }
    ~scripted_server() {
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }
    scripted_server(const scripted_server&) = delete;
    scripted_server& operator=(const scripted_server&) = delete;
    const std::string& url() const { return url_; }
    std::string heard() {
        thread_.join();
        return heard_;
    }

private:
    int listener_ = -1;
    std::string url_;
    std::string heard_;
    std::thread thread_;
};

TEST(Server, RunsThroughSer2net) {
    auto awkward = card_with("00000000");
    awkward.get.bytes = "\xff\xff\r\n\x03\x11\x13\x7f\x00\xff"s;
    auto usb_late = card_with("11000000");
    usb_late.baud = 9600;
    usb_late.latency_ms = 16;
    usb_late.get.delay_ms = usb_late.set.delay_ms = 5;
    auto paced = card_with("11000000");
    paced.baud = 9600;
    // clang-format off
    const wire_case cases[] = {
        served({"-s and -g", {}, {"-s", "10101010", "-g"}, "s10101010sg", "1010101010101010", "", 0}),
        served({"--verify -3 on", {}, {"--verify", "-3", "on"}, "gs00100000sg", "00100000", "", 0}),

        served({"0xff and every awkward byte", awkward, {"-g"}, "g", "\xff\xff\r\n\x03\x11\x13\x7f\x00\xff"s, "", 0}),
        served({"--for", card_with("11111111"), {"-3", "off", "--for=1"}, "gs11011111sgs11111111s",
                "1101111111111111", "", 0}),
        served(on_the_clock({"-g behind a USB adapter", usb_late, {"-g"}, "g", "11000000", "", 0})),
        served(on_the_clock({"-3 on behind a USB adapter", usb_late, {"-3", "on"}, "gs11100000s", "11100000", "", 0})),
    };
    // clang-format on
    using card_sim::server_kind;
    const std::string quiet =
        "io_card: T ms waiting for a quiet line: an earlier run may still be owed an answer\n"
        "io_card: T ms > g\nio_card: T ms < 00000000\n";
    const std::string trip = "io_card: T ms round trip to the server: T ms more for each pause";
    // A raw bridge passes the same bytes, 0xff undoubled.
    for (const auto kind : {server_kind::rfc2217, server_kind::raw, server_kind::socat}) {
        const bool telnet = kind == server_kind::rfc2217;
        for (const auto& c : cases) expect_run(raw(kind, c));
        expect_run(
            raw(kind, {"--trace",
                       {},
                       {"--trace", "-g"},
                       "g",
                       "00000000",
                       trip + (telnet ? "" : ", and 60 ms for a bridge's packing") + "\n" + quiet,
                       0}));
    }
}

// A card across a slow network: each pause counts from the card, a silent card
// is told from a slow link, and an answer held apart by jitter or by Nagle's
// algorithm stays whole. The answering rows have a pause of 100 ms, no longer
// than the shorter round trip: the paced card's line takes 19 ms of the default
// 50, which left too little for a hiccup of the machine's.
TEST(Server, ThroughSlowNetworks) {
    auto paced = card_with("11000000");
    paced.baud = 9600;
    auto mute = paced;
    mute.get.max_bytes = 0;
    const std::string taken =
        "io_card: T ms round trip to the server: T ms more for each pause\n"
        "io_card: T ms waiting for a quiet line: an earlier run may still be owed an answer\n";
    const std::string silent =
        "io_card: No answer from the card on {port}\nio_card: round trip to the server: T ms "
        "and then the pause of 50 ms passed without a byte from the card\n";
    // clang-format off
    const wire_case runs[] = {
        {"-g", paced, {"--pause=100", "-g"}, "g", "11000000", "", 0},
        {"-3 on", paced, {"--pause=100", "-3", "on"}, "gs11100000s", "11100000", "", 0},
        {"--verify -2 off", paced, {"--pause=100", "--verify", "-2", "off"}, "gs10000000sg", "10000000", "", 0},
        {"-2 off --for=500", paced, {"--pause=100", "-2", "off", "--for=500"}, "gs10000000sgs11000000s",
         "1000000011000000", "", 0},
        {"a silent card", mute, {"-g"}, "g", "", silent, 1},
    };
    // clang-format on
    for (const int one_way_ms : {50, 150}) {
        for (const auto& c : runs) expect_run(relayed({.one_way_ms = one_way_ms}, on_the_clock(c)));
    }
    // clang-format off
    expect_run(relayed({.one_way_ms = 150}, on_the_clock(
        // The frame that puts back leaves on time, however many round trips
        // taking the port again costs.
        apart(1500, {"-2 off --for=1500", paced, {"--trace", "-2", "off", "--for=1500"}, "gs10000000sgs11000000s",
                    "1000000011000000", taken + "io_card: T ms > g\nio_card: T ms < 11000000\n"
                    "io_card: T ms > s10000000s\nio_card: T ms < 10000000\n" + taken +
                    "io_card: T ms > g\nio_card: T ms < 10000000\nio_card: T ms > s11000000s\nio_card: T ms < 11000000\n", 0}))));
    // clang-format on
    // Pieces of one answer apart by more than the gap.
    const card_sim::link_delay jitter{.one_way_ms = 20, .spread_ms = 40, .seed = 31};
    const card_sim::link_delay nagle{.nagle_ms = 40};
    for (int i = 0; i < 20; ++i) {
        expect_run(relayed(
            jitter,
            on_the_clock(
                {"-g, 20 to 60 ms", paced, {"--pause=200", "-g"}, "g", "11000000", "", 0})));
        expect_run(
            relayed(nagle, on_the_clock({"-g, Nagle", paced, {"-g"}, "g", "11000000", "", 0})));
        if (i % 4 != 0) continue;
        expect_run(relayed(jitter, on_the_clock({"-3 on, 20 to 60 ms",
                                                 paced,
                                                 {"--pause=200", "-3", "on"},
                                                 "gs11100000s",
                                                 "11100000",
                                                 "",
                                                 0})));
        expect_run(relayed(
            nagle,
            on_the_clock({"-3 on, Nagle", paced, {"-3", "on"}, "gs11100000s", "11100000", "", 0})));
    }
}

// A card across sites: ser2net bound to 127.0.0.1 on the card's host, reached
// through OpenSSH's `ssh -N -L`, whose connection keeps Nagle's algorithm on, at
// io_card's defaults.
TEST(Server, ThroughAnSshTunnel) {
    auto paced = card_with("11000000");
    paced.baud = 9600;
    // clang-format off
    const wire_case cases[] = {
        through_ssh(on_the_clock({"-g", paced, {"-g"}, "g", "11000000", "", 0})),
        through_ssh(on_the_clock({"-3 on", paced, {"-3", "on"}, "gs11100000s", "11100000", "", 0})),
        through_ssh(on_the_clock({"--verify -3 off --for=300", paced, {"--verify", "-2", "off", "--for=300"},
                                  "gs10000000sggs11000000sg", "1000000011000000", "", 0})),
    };
    // clang-format on
    for (const auto& c : cases) expect_run(c);
}

// The relay of the rows above holds each piece as it is told, or they would
// pass over a link that is not there: four pieces written 5 ms apart reach the
// far end in order, each held at least so long, and the holds as far apart.
TEST(Server, RelayHoldsEachPieceAsTold) {
    struct link_case {
        const char* name;
        card_sim::link_delay link;
        int least_ms[4];
        int spread_ms;  // the longest hold less the shortest, at least
    };
    // clang-format off
    const link_case cases[] = {
        {"50 ms each way", {.one_way_ms = 50}, {50, 50, 50, 50}, 0},
        {"20 to 60 ms", {.one_way_ms = 20, .spread_ms = 40, .seed = 31}, {20, 20, 20, 20}, 10},
        // The first goes at once; the rest wait for it to be acknowledged, 40 ms
        // on (checked below, as long as they came within those 40 ms).
        {"Nagle", {.nagle_ms = 40}, {0, 0, 0, 0}, 0},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sockaddr_in address{};
        const int listener = listen_on_loopback(1, address);
        ASSERT_NE(listener, -1);
        const card_sim::relay relay("127.0.0.1:" + std::to_string(ntohs(address.sin_port)), c.link);
        const std::string near = relay.address();
        address.sin_port =
            htons(static_cast<std::uint16_t>(std::stoi(near.substr(near.find(':') + 1))));
        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        pollfd waiting{listener, POLLIN, 0};
        ASSERT_EQ(poll(&waiting, 1, 10000), 1);
        const int far = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        using steady = std::chrono::steady_clock;
        steady::time_point sent[4];
        steady::time_point arrived[4];
        std::string heard;
        std::thread reader([&] {
            waiting.fd = far;
            char byte = 0;
            while (heard.size() < 4 && poll(&waiting, 1, 10000) == 1 &&
                   recv(far, &byte, 1, 0) == 1) {
                arrived[heard.size()] = steady::now();
                heard += byte;
            }
        });
        for (int i = 0; i < 4; ++i) {
            sent[i] = steady::now();
            EXPECT_EQ(send(client, "abcd" + i, 1, MSG_NOSIGNAL), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        reader.join();
        close(client);
        close(far);
        close(listener);
        ASSERT_EQ(heard, "abcd");
        std::chrono::milliseconds held[4];
        for (int i = 0; i < 4; ++i) {
            held[i] = std::chrono::duration_cast<std::chrono::milliseconds>(arrived[i] - sent[i]);
            EXPECT_GE(held[i].count(), c.least_ms[i]) << "piece " << i;
        }
        EXPECT_GE((*std::max_element(held, held + 4) - *std::min_element(held, held + 4)).count(),
                  c.spread_ms);
        for (int i = 1; i < 4 && c.link.nagle_ms > 0; ++i) {
            // The first went no sooner than it was sent.
            if (sent[i] - sent[0] > std::chrono::milliseconds(30)) continue;
            EXPECT_GE(arrived[i] - sent[0], std::chrono::milliseconds(40)) << "piece " << i;
        }
    }
}

// While ser2net has the card's line, it holds what io_card asked for (or, raw,
// what it was told), not what ser2net began with; and a second run is turned
// away until the first is over.
TEST(Server, SetsTheLineAndTakesTurns) {
    for (const auto kind : {card_sim::server_kind::rfc2217, card_sim::server_kind::raw}) {
        std::string path;
        termios seen{};
        auto slow = card_with("00000000");
        slow.get.delay_ms = 1000;
        const card_sim::simulated_card card(slow, [&path, &seen](const std::string& line) {
            if (line != "get") return;
            const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
            tcgetattr(fd, &seen);
            close(fd);
        });
        path = card.path();
        const card_sim::serial_server server(card, {}, kind);
        if (server.missing()) GTEST_SKIP() << "ser2net is not installed";
        ASSERT_FALSE(server.url().empty()) << "ser2net did not listen";
        auto first =
            spawn(IO_CARD_PATH, "io_card", on_card(card, {"--pause=2000", "-g"}, server.url()));
        ASSERT_TRUE(card.await(1));
        const run_result busy = run_io_card(on_card(card, {"--wait=0", "-g"}, server.url()));
        EXPECT_EQ(busy.err, "io_card: " + server.url() +
                                " is busy\nio_card: the server said: Port already in use\n");
        EXPECT_EQ(busy.status, 1);
        // Turned away first, the next run gets the server once the first is over,
        // and again, alone, to put the output back; the round trip that each pause
        // adds is the connection's that was let in.
        const run_result next = run_io_card(
            on_card(card, {"--trace", "--pause=2000", "--wait=10000", "-3", "on", "--for=1"},
                    server.url()));
        EXPECT_EQ(next.out, "0010000000000000");
        EXPECT_EQ(next.status, 0) << next.err;
        const std::string trip = "round trip to the server: ";
        ASSERT_NE(next.err.find(trip), std::string::npos) << next.err;
        EXPECT_LT(std::stod(next.err.substr(next.err.find(trip) + trip.size())), 5000) << next.err;
        EXPECT_EQ(finish(first, 10000).out, "00000000");
        EXPECT_EQ(card.received(), "ggs00100000sgs00000000s");
        EXPECT_EQ(cfgetospeed(&seen), B9600);
        EXPECT_EQ(seen.c_cflag & CSTOPB, 0u);
        EXPECT_EQ(seen.c_lflag & ICANON, 0u);
    }
}

// Where a raw bridge differs: what it packs or kept from before, a busy one
// that says nothing, a Telnet server named as raw, and a network that its
// handshake does not show.
TEST(Server, ThroughRawBridges) {
    using card_sim::server_kind;
    auto paced = card_with("11000000");
    paced.baud = 9600;
    auto mute = paced;
    mute.get.max_bytes = 0;
    auto slow = card_with("00000000");
    slow.get.delay_ms = 200;
    const card_sim::bridge_model packs{.pack_ms = 50};
    const card_sim::bridge_model keeps{.pack_ms = 50, .keep = true};
    const std::string silent =
        "io_card: No answer from the card on {port}\nio_card: round trip to the server: T ms and a "
        "packing allowance of 60 ms, then the pause of 50 ms passed without a byte from the card; "
        "for "
        "a bridge that packs longer or a slower network, try --pause=220\n";
    // clang-format off
    const wire_case cases[] = {
        bridged(packs, on_the_clock({"-g, 50 ms packing", paced, {"-g"}, "g", "11000000", "", 0})),
        bridged(packs, on_the_clock({"-3 on, 50 ms packing", paced, {"-3", "on"}, "gs11100000s", "11100000", "", 0})),
        // The answer of a run killed as the card sent it, kept for the next client.
        bridged(keeps, {"after a killed run's answer", card_with("00000000"), {"-s", "10101010", "-g"},
                        "gs10101010sg", "1010101010101010", "", 0, {}, {}, {"-g"}, 8}),
        bridged(keeps, {"after the card's babble", card_with("00000000"), {"-3", "on"}, "gs00100000s",
                        "00100000", "", 0, "babble\xff\r\n"s}),
        // The relay accepts at once: its 100 ms round trip is not in the handshake.
        relayed({.one_way_ms = 50}, raw(server_kind::raw, on_the_clock(
            {"-g, 100 ms round trip", paced, {"--pause=100", "-g"}, "g", "11000000", "", 0}))),
        relayed({.one_way_ms = 50}, raw(server_kind::raw, on_the_clock(
            {"a silent card, 100 ms round trip", mute, {"-g"}, "g", "", silent, 1}))),
        raw(server_kind::raw, on_the_clock({"a silent card", mute, {"-g"}, "g", "", silent, 1})),
    };
    // clang-format on
    for (const auto& c : cases) expect_run(c);

    // socat's lock turns a second client away without a word.
    const card_sim::simulated_card card(slow);
    const card_sim::serial_server socat(card, {}, server_kind::socat);
    if (socat.missing()) GTEST_SKIP() << "socat is not installed";
    ASSERT_FALSE(socat.url().empty()) << "socat did not listen";
    auto first = spawn(IO_CARD_PATH, "io_card", on_card(card, {"-g"}, socat.url()));
    ASSERT_TRUE(card.await(1));
    const run_result busy = run_io_card(on_card(card, {"--wait=0", "-g"}, socat.url()));
    EXPECT_EQ(busy.err, "io_card: " + socat.url() +
                            " is busy\nio_card: the server closed the connection without a word\n");
    EXPECT_EQ(busy.status, 1);
    EXPECT_EQ(finish(first, 10000).out, "00000000");

    // A Telnet server named as raw is told apart before anything is sent.
    const card_sim::serial_server telnet(card);
    ASSERT_FALSE(telnet.url().empty()) << "ser2net did not listen";
    const std::string where = telnet.url().substr(telnet.url().find("//") + 2);
    const run_result named = run_io_card(on_card(card, {"-g"}, "socket://" + where));
    EXPECT_EQ(named.err, "io_card: Error setting up socket://" + where +
                             ": the server began with Telnet's negotiation\nio_card: for RFC 2217, "
                             "name it as rfc2217://" +
                             where + "\n");
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(card.received(), "g");
}

// --wait bounds the whole take: a server that says nothing, turns the run away
// just before the wait is out, then lets it in and says nothing again, gets
// what is left of the longer of --wait and 3 s, not a fresh 3 s; and it is
// busy, not slow.
TEST(Server, TakingThePortEndsWithTheWait) {
    sockaddr_in address{};
    const int listener = listen_on_loopback(8, address);
    ASSERT_NE(listener, -1);
    const auto began = std::chrono::steady_clock::now();
    std::vector<int> held;
    std::thread server([&] {
        std::this_thread::sleep_until(began + std::chrono::milliseconds(2800));
        pollfd waiting{listener, POLLIN, 0};
        while (poll(&waiting, 1, 6000) == 1) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client == -1) break;  // shut down
            // The first is turned away; the next is let in.
            if (held.empty()) {
                held.push_back(-1);
                close(client);
            } else {
                held.push_back(client);
            }
        }
    });
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const run_result result = run_io_card({"-p", url, "--wait=2900", "-g"});
    const auto took = std::chrono::steady_clock::now() - began;
    shutdown(listener, SHUT_RDWR);
    server.join();
    for (const int fd : held) {
        if (fd != -1) close(fd);
    }
    close(listener);
    EXPECT_EQ(result.err, "io_card: " + url + " is busy\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_LT(took, std::chrono::milliseconds(3900));
}

TEST(Server, FaultsEndTheRunAndNothingMoreIsSent) {
    // What io_card tells a server before its first command, and a sound server's
    // answers to it, which agree binary transmission as ser2net does.
    const auto subnegotiation = [](char command, const std::string& value) {
        return "\xff\xfa,"s + command + value + "\xff\xf0";
    };
    const std::string hello = "\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03\xff\xfb,"s +
                              subnegotiation('\x01', "\x00\x00\x25\x80"s) +
                              subnegotiation('\x02', "\x08") + subnegotiation('\x03', "\x01") +
                              subnegotiation('\x04', "\x01") + subnegotiation('\x05', "\x01") +
                              subnegotiation('\x0c', "\x01");
    const std::string asked = hello + "g";
    const std::string agreed =
        "\xff\xfb\x00\xff\xfd\x00\xff\xfd,"s + subnegotiation('e', "\x00\x00\x25\x80"s) +
        subnegotiation('f', "\x08") + subnegotiation('g', "\x01") + subnegotiation('h', "\x01");
    const std::string sound = agreed + subnegotiation('i', "\x01") + subnegotiation('p', "\x01");
    // In the card's answer: a line state that holds SE's byte, and an option
    // offered and asked for, which io_card refuses.
    const std::string telnet_between =
        "1100" + subnegotiation('j', "\xf0X") + "\xff\xfb\x18\xff\xfd\x18"s;
    struct fault_case {
        const char* name;
        std::string greeting, answer;
        ending how;
        std::string err, heard;
        std::vector<std::string> args = {"--pause=500", "-g"};
        std::string out = {};
        const char* fault = "";  // as IO_CARD_FAULT tells tests/failing_calls.cpp
    };
    const std::string reading = "io_card: Error reading from {port}: the server ";
    const std::string setting = "io_card: Error setting up {port}: the server ";
    const auto hang_up = ending::answer_and_hang_up;
    // clang-format off
    const fault_case cases[] = {
        {"a malformed command", "\xff\x01", "", hang_up, reading + "sent a malformed Telnet command\n", hello},
        {"no RFC 2217", "\xff\xfe,", "", hang_up, setting + "does not do RFC 2217\n", hello},
        {"other settings", agreed + subnegotiation('i', "\x02"), "", hang_up,
         setting + "did not take 9600 baud, 8N1, no flow control\n", hello},
        {"a setting answered without its value", agreed + subnegotiation('i', ""), "", hang_up,
         setting + "did not take 9600 baud, 8N1, no flow control\n", hello},
        {"no answer to a setting", agreed, "", hang_up, setting + "did not answer within 3 seconds\n", hello},
        {"no answer to the purge", agreed + subnegotiation('i', "\x01"), "", hang_up,
         setting + "did not answer within 3 seconds\n", hello},
        // Refused, not busy, however long the run would wait for a busy one.
        {"115200 baud, then gone", "\xff\xfb\x00\xff\xfd,"s + subnegotiation('e', "\x00\x01\xc2\x00"s), "",
         ending::turn_away, setting + "did not take 9600 baud, 8N1, no flow control\n", hello,
         {"--wait=600000", "-g"}},
        {"a connection that fails", agreed, "", hang_up,
         "io_card: Error reading from {port}: Connection timed out\n", hello, {"-g"}, "", "recv 1 ETIMEDOUT"},
        {"dropped mid-answer", sound, "1100", hang_up, reading + "closed the connection\n", asked},
        {"turned away in many words", std::string(70, 'w'), "", ending::turn_away,
         "io_card: {port} is busy\nio_card: the server said: " + std::string(63, 'w') + "\n", hello,
         {"--wait=0", "-g"}},
        {"turned away in a word", "!\r\n", "", ending::turn_away,
         "io_card: {port} is busy\nio_card: the server said: !\n", hello, {"--wait=0", "-g"}},
        {"a frame in pieces", sound, "10101010", ending::answer_and_listen, "", hello + "s10101010sg",
         {"--pause=500", "-s", "10101010", "-g"}, "10101010", "send 2 -3"},
        {"Telnet between the card's bytes", sound, telnet_between + "0011", ending::answer_and_listen, "",
         asked + "\xff\xfe\x18\xff\xfc\x18", {"--pause=2000", "-g"}, "11000011"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_server server(c.greeting, c.answer, c.how);
        std::vector<std::string> args{"-p", server.url()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (*c.fault != '\0') {  // into io_card alone: the server is a thread of this test
            preload_failing_calls("IO_CARD_FAULT", c.fault);
        }
        const run_result result = run_io_card(args);
        stop_preloading();
        std::string err = c.err;
        if (!err.empty()) err.replace(err.find("{port}"), 6, server.url());
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, c.out.empty() ? 1 : 0);
        EXPECT_EQ(card_sim::escape(server.heard()), card_sim::escape(c.heard));
    }
    // Nothing listening, on a port just let go of, named plainly, and in brackets
    // with a leading zero; names that are no server's (a port past 65535, or past
    // 2^32, which would wrap round to 80), and one that no resolver knows, without
    // asking a network.
    const std::string gone = "rfc2217://" + card_sim::free_loopback_address();
    const std::string bracketed = "rfc2217://[127.0.0.1]:0" + gone.substr(gone.rfind(':') + 1);
    const std::string unnamed = "name the server as rfc2217://HOST:PORT";
    for (const auto& [url, reason] :
         {std::pair{gone, "Connection refused"s},
          {bracketed, "Connection refused"s},
          {"rfc2217://0:" + gone.substr(gone.rfind(':') + 1), "Connection refused"s},
          {"rfc2217://localhost"s, unnamed},
          {"rfc2217://::1:2217"s, unnamed},
          {"rfc2217://127.0.0.1:0"s, unnamed},
          {"rfc2217://127.0.0.1:22x"s, unnamed},
          {"rfc2217://127.0.0.1:65536"s, unnamed},
          {"rfc2217://127.0.0.1:4294967376"s, unnamed},
          {"rfc2217://[fe80::1%nosuchif]:2217"s, "Name or service not known"s}}) {
        SCOPED_TRACE(url);
        const run_result refused = run_io_card({"-p", url, "-g"});
        EXPECT_EQ(refused.err,
                  "Error opening " + url + "!\nio_card: " + url + ": " + reason + "\n");
        EXPECT_EQ(refused.status, 1);
    }
}

// What a server's stream decodes to, in pieces of the sizes that next_size()
// gives, as read_server takes them, up to the first error: each field escaped.
template <typename Sizes>
std::string decode(const std::string& stream, Sizes next_size) {
    telnet_decoder decoder;
    std::string card, replies, subnegotiations;
    telnet_decoded decoded;
    bool refused = false;
    for (std::size_t at = 0; at < stream.size() && decoded.error == 0;) {
        std::string piece = stream.substr(at, std::min(next_size(), decode_capacity));
        at += piece.size();
        decoded = decode_from_server(decoder, piece.data(), piece.size());
        card.append(piece, 0, decoded.kept);
        replies.append(reinterpret_cast<const char*>(decoded.replies), decoded.replies_length);
        subnegotiations.append(reinterpret_cast<const char*>(decoded.subnegotiations),
                               decoded.subnegotiations_length);
        refused = refused || decoded.refused;
    }
    return card_sim::escape(card) + " | " + card_sim::escape(replies) + " | " +
           card_sim::escape(subnegotiations) + (refused ? " | refused" : "") +
           (decoded.error != 0 ? " | "s + strerrorname_np(decoded.error) : "");
}

// Whole, a byte at a time and in seeded pieces of 1 to 8 bytes alike; and the
// encoder's output, back to what it encoded.
TEST(Server, DecodesTelnetInAnySplit) {
    const auto sub = [](const std::string& bytes) {
        return card_sim::escape(static_cast<char>(bytes.size()) + bytes);
    };
    const std::string bound(64, 'x');
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"\xff\xfb\x03\xff\xfd\x03\xff\xfb\x01\xff\xfe\x01\xff\xfd\x00\xff\xfb\x00\xff\xfd,\xff\xfd\x03" // ser2net's
         "\xff\xfa,k\x00\xff\xf0\xff\xfa,e\x00\x00\x25\x80\xff\xf0\xff\xfa,p\x01\xff\xf0"s,
         " | \\xff\\xfe\\x01 | " + sub(",k\x00"s) + sub(",e\x00\x00\x25\x80"s) + sub(",p\x01")},
        {"0\xff\xff" "1\xff\xff\xff\xff", "0\\xff1\\xff\\xff |  | "},
        {"\xff\xfb\x18\xff\xfd\x18\xff\xfc\x18\xff\xfe\x18\xff\xfb," "1", "1 | \\xff\\xfe\\x18\\xff\\xfc\\x18 | "},
        {"\xff\xfc,", " |  |  | refused"},
        {"\xff\xfe,", " |  |  | refused"},
        {"1\xff\xf1" "0\xff\xf0\xff\xf9", "10 |  | "},  // NOP, SE alone, GA
        {"\xff\xfa,j\xf0X\xff\xff\xff\xf0", " |  | " + sub(",j\xf0X\xff")},
        {"\xff\xfa" + bound + "\xff\xf0" "1", "1 |  | " + sub(bound)},
        {"1\xff\xfa" + bound + "x", "1 |  |  | EMSGSIZE"},
        {"1\xff\x01" "0", "1 |  |  | EPROTO"},
        {"\xff\xfa,\xff" "1", " |  |  | EPROTO"},
    };
    // clang-format on
    for (const auto& [stream, decoded] : cases) {
        SCOPED_TRACE(card_sim::escape(stream));
        std::minstd_rand sizes(static_cast<unsigned>(stream.size()));
        EXPECT_EQ(decode(stream, [] { return decode_capacity; }), decoded);
        EXPECT_EQ(decode(stream, [] { return std::size_t{1}; }), decoded);
        EXPECT_EQ(decode(stream, [&] { return std::size_t{1} + sizes() % 8; }), decoded);
    }
    // Seeded streams of Telnet's commands and the card's bytes, longer than a piece.
    const std::string pieces[] = {
        "0",        "\xf0",         "\xff\xff",  "\xff\xfa,e\xff\xff\xf0\xff\xf0",
        "\xff\xf0", "\xff\xfb\x18", "\xff\xfd,", "\xff\xf1"};
    for (const unsigned seed : {1u, 2u, 3u}) {
        std::minstd_rand random(seed);
        std::string stream;
        while (stream.size() < 600) stream += pieces[random() % std::size(pieces)];
        EXPECT_EQ(decode(stream, [&] { return std::size_t{1} + random() % 8; }),
                  decode(stream, [] { return decode_capacity; }));
        // The card's bytes, encoded as io_card sends them, decode to themselves.
        std::string card(300, '\0'), encoded(600, '\0');
        for (char& byte : card) byte = random() % 4 == 0 ? '\xff' : static_cast<char>(random());
        encoded.resize(encode_for_server(card.data(), card.size(), encoded.data()));
        EXPECT_EQ(decode(encoded, [&] { return std::size_t{1} + random() % 8; }),
                  card_sim::escape(card) + " |  | ");
    }
}

}  // namespace
