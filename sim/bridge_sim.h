// What stands between io_card and a simulated card on a network, for the tests
// and the bench: a relay that delays what passes as a network would, Debian's
// ser2net and socat in front of the card, and a model of a raw TCP bridge that
// packs the card's bytes and keeps what came while nobody was connected.
#pragma once

#include <string>
#include <thread>

#include "card_sim.h"

namespace card_sim {

// A loopback TCP port that nothing listens on now, as "127.0.0.1:PORT"; empty if
// none can be had.
std::string free_loopback_address();

// How a relay holds each piece (what one read of a socket brings) that passes
// through it, the same both ways. Pieces arrive in the order sent, as TCP
// delivers them, however their delays are drawn.
struct link_delay {
    int one_way_ms = 0;  // every piece is held this long
    int spread_ms = 0;   // and a further 0 to spread_ms, drawn for each piece
    unsigned seed = 1;   // of those draws
    // A piece that comes less than this long after the last one went waits for
    // it to be acknowledged, and goes with every piece that came meanwhile, as
    // Nagle's algorithm holds them against a delayed acknowledgement (40 ms on
    // Linux); the first piece of a burst goes at once. 0: nothing waits.
    int nagle_ms = 0;
};

// A TCP relay on a free loopback port in front of to ("HOST:PORT"): each
// connection to address() is joined to a new one to to, and what either side
// sends reaches the other as link says. It accepts a connection at once, so the
// connection costs no round trip. It serves on a thread of its own until
// destroyed, which closes every connection; as root, at real-time priority,
// as the card's thread. address() is empty where it cannot
// listen; a connection whose other end cannot be reached is closed.
class relay {
public:
    relay(const std::string& to, link_delay link);
    ~relay();
    relay(const relay&) = delete;
    relay& operator=(const relay&) = delete;
    const std::string& address() const { return address_; }  // "127.0.0.1:PORT"

private:
    void serve();
    std::string to_;
    link_delay link_;
    std::string address_;
    int listener_ = -1;
    int wake_ = -1;  // an eventfd that tells the thread to stop
    std::thread thread_;
};

// Which program serves the card, and how.
enum class server_kind {
    rfc2217,  // ser2net's telnet(rfc2217) accepter; url() is rfc2217://
    raw,      // ser2net's raw tcp accepter, the line at 9600 8N1; url() is socket://
    // socat, raw, a child for each client, one client at a time by a lock file
    // that turns any other away without a word; url() is socket://
    socat,
};

// Debian's ser2net (or socat, as kind says) in front of card, serving it on a
// free loopback port, whose name for io_card is url(); with RFC 2217 its line
// starts at 115200 baud with two stop bits, and options, if given, is a line of
// the connection's options such as "chardelay: false". url() is empty where
// the program is missing(), or where it ended or did not listen within 10 s.
class serial_server {
public:
    explicit serial_server(const simulated_card& card, const std::string& options = {},
                           server_kind kind = server_kind::rfc2217);
    // Stops the program, killing it if it has not ended within 10 s, and reaps it.
    ~serial_server();
    serial_server(const serial_server&) = delete;
    serial_server& operator=(const serial_server&) = delete;
    const std::string& url() const { return url_; }
    bool missing() const { return missing_; }

private:
    int pid_ = -1;  // -1 once reaped
    bool missing_ = false;
    std::string url_;
    std::string lock_;  // socat's lock file, removed at the end
};

// How a raw_bridge passes on what the card sends.
struct bridge_model {
    // Hold the card's bytes until its line has been quiet this long, as a
    // bridge's packing time does; 0: pass each read on at once.
    int pack_ms = 0;
    // Keep what the card sends while no client is connected and hand it to the
    // next client at once, as some bridges do; otherwise it is dropped.
    bool keep = false;
};

// A raw TCP bridge in front of card on a free loopback port, url()
// "socket://127.0.0.1:PORT", one client at a time (another waits to be
// accepted): what the client sends goes to the card at once, and what the card
// sends comes back as how says. It serves on a thread of its own until
// destroyed; url() is empty where it cannot listen or open the card's line.
class raw_bridge {
public:
    raw_bridge(const simulated_card& card, bridge_model how);
    ~raw_bridge();
    raw_bridge(const raw_bridge&) = delete;
    raw_bridge& operator=(const raw_bridge&) = delete;
    const std::string& url() const { return url_; }

private:
    void serve();
    bridge_model how_;
    std::string url_;
    int line_ = -1;
    int listener_ = -1;
    int wake_ = -1;  // an eventfd that tells the thread to stop
    std::thread thread_;
};

}  // namespace card_sim
