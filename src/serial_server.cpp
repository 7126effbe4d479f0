#include "serial_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "messages.h"

namespace {

// The number that text's digits alone make, read only until it is past any
// port's, so that it cannot wrap round to one; 0 for anything else.
unsigned read_number(const char* text) {
    unsigned number = 0;
    for (; *text >= '0' && *text <= '9' && number <= 65535; ++text) {
        number = number * 10 + static_cast<unsigned>(*text - '0');
    }
    return *text == '\0' ? number : 0;
}

// A card's line on a serial server, reached over TCP: with Telnet's COM-PORT-OPTION
// (RFC 2217), decoded and answered here alone, or raw, as a bridge passes the
// card's bytes unchanged and sets the line from its own configuration. The
// connection is the same for both; what differs is a link_kind, picked once,
// when the port is opened, from the scheme of its name.
struct link_kind {
    // Takes the port on a new connection; false when the server turns this
    // client away.
    bool (*take)(int fd);
    // The card's bytes of count received, in place: how many, or -1 with errno.
    ssize_t (*decode)(int fd, char* bytes, std::size_t count);
    // A frame as the server takes it, into twice count at most.
    std::size_t (*frame)(const char* bytes, std::size_t count, char* framed);
    bool telnet;  // RFC 2217: the port's settings are the server's to set and check
};
bool set_server_line(int fd);
bool take_raw_port(int fd);
ssize_t take_from_server(int fd, char* bytes, std::size_t count);
ssize_t take_as_it_is(int /*fd*/, char* /*bytes*/, std::size_t count) {
    return static_cast<ssize_t>(count);
}
std::size_t frame_as_it_is(const char* bytes, std::size_t count, char* framed) {
    std::memcpy(framed, bytes, count);
    return count;
}
constexpr link_kind rfc2217{set_server_line, take_from_server, encode_for_server, true};
constexpr link_kind raw{take_raw_port, take_as_it_is, frame_as_it_is, false};

struct scheme {
    const char* prefix;
    const link_kind* kind;
};
constexpr scheme schemes[] = {{"rfc2217://", &rfc2217}, {"socket://", &raw}, {"tcp://", &raw}};

// The scheme that port begins with; nullptr for none.
const scheme* scheme_of(const char* port) {
    for (const scheme& each : schemes) {
        if (std::strncmp(port, each.prefix, std::strlen(each.prefix)) == 0) return &each;
    }
    return nullptr;
}

// How long a server has for each of its answers, and a connection at least.
constexpr long long server_patience_ns = 3'000'000'000;
constexpr const char* server_patience = "3 seconds";
// A server turns a client away while another has the port: try again so often.
constexpr useconds_t busy_retry_us = 20'000;
// RFC 8305's Connection Attempt Delay: each next address of a name gets its turn
// this long after the one before, unless that one failed sooner.
constexpr long long attempt_delay_ns = 250'000'000;
// What a raw bridge adds to each pause: a hold of 50 ms of quiet (Elfin's
// EW11 and HF2211 by default, the longest default of the bridges known) after the
// card's last byte, and the 10 byte times at 9600 baud of a command and the
// states before it, so that an answer held so reaches the client within the
// default pause. Every run waits it out once, before its first command, for
// what may still come from before, and in full wherever the card says nothing.
constexpr long long packing_allowance_ns = 60'000'000;
// The most addresses of a name that are tried.
constexpr std::size_t addresses_capacity = 16;

constexpr unsigned char iac = 255;
constexpr unsigned char dont = 254;
constexpr unsigned char do_option = 253;
constexpr unsigned char wont = 252;
constexpr unsigned char will = 251;
constexpr unsigned char subnegotiation = 250;
constexpr unsigned char first_command = 240;  // SE; below it no byte follows IAC
constexpr unsigned char subnegotiation_end = 240;
constexpr unsigned char binary = 0;
constexpr unsigned char suppress_go_ahead = 3;
constexpr unsigned char com_port = 44;
// COM-PORT-OPTION commands; the server answers each with its number plus 100.
constexpr unsigned char set_baudrate = 1;
constexpr unsigned char set_datasize = 2;
constexpr unsigned char set_parity = 3;
constexpr unsigned char set_stopsize = 4;
constexpr unsigned char set_control = 5;
constexpr unsigned char purge_data = 12;
constexpr unsigned char server_answer = 100;

struct server_state {
    bool used = false;  // the port is on a server
    const link_kind* kind = &rfc2217;
    const char* name = nullptr;  // rfc2217://HOST:PORT, socket://HOST:PORT or tcp://HOST:PORT
    // Until when a server that turns this client away is asked again: --wait
    // from the open; and when taking the port must be over, every connection and
    // every wait for an answer within it: the longer of that and the server's
    // patience.
    long long retry_until = 0;
    long long give_up = 0;
    // The run's pause and gap: on a raw link, what comes within them of the
    // connection is from before it.
    int pause_ms = 0;
    int gap_ms = 0;
    sockaddr_storage address{};
    socklen_t address_length = 0;
    telnet_decoder telnet;
    bool refused = false;  // the server does not do COM-PORT-OPTION
    bool answered[purge_data + 1] = {};
    unsigned long value[purge_data + 1] = {};
    // The card's bytes heard while listening for answers, and the first of them:
    // a server that turns a client away says why.
    std::size_t heard = 0;
    char said[64] = {};
    // When the connection that took the port was made, on CLOCK_MONOTONIC in ns,
    // how long making it took, and the round trip measured on it.
    long long connected_at = 0;
    long long connect_took = 0;
    long long round_trip = 0;
    int turned_away = 0;  // how often the server has turned this run away
};
server_state server;

// What a failure with error says, as line_error says it on a server's port.
const char* server_reason(int error) {
    const char* const said = server_error(error);
    return said != nullptr ? said : std::strerror(error);
}

// Telnet's own bytes: a failure to send them shows on the next read or write.
void tell_server(int fd, const unsigned char* bytes, std::size_t count) {
    send(fd, bytes, count, MSG_NOSIGNAL);
}

// Refuses every option a server offers or asks for but the three this client
// asked for itself: binary both ways, no go-aheads, and COM-PORT-OPTION.
void answer_option(telnet_decoded& decoded, unsigned char verb, unsigned char option) {
    const bool ours = option == binary || option == suppress_go_ahead;
    if (option == com_port && (verb == dont || verb == wont)) decoded.refused = true;
    if (ours || option == com_port || verb == dont || verb == wont) return;
    unsigned char* const refusal = decoded.replies + decoded.replies_length;
    refusal[0] = iac;
    refusal[1] = verb == will ? dont : wont;
    refusal[2] = option;
    decoded.replies_length += 3;
}

// A COM-PORT-OPTION answer of the server's: its value, most significant byte first.
void take_subnegotiation(const unsigned char* sub, std::size_t length) {
    if (length < 2 || sub[0] != com_port) return;
    const unsigned command = sub[1];
    if (command < server_answer || command > server_answer + purge_data) return;
    unsigned long value = 0;
    for (std::size_t i = 2; i < length && i < 6; ++i) value = value << 8 | sub[i];
    server.answered[command - server_answer] = true;
    server.value[command - server_answer] = value;
}

// Decodes count bytes from the server in place, as read_port reads them: the
// card's bytes are returned, Telnet's commands answered or taken. Returns -1
// with errno EPROTO or EMSGSIZE for a server that broke Telnet's rules.
ssize_t take_from_server(int fd, char* bytes, std::size_t count) {
    const telnet_decoded decoded = decode_from_server(server.telnet, bytes, count);
    if (decoded.replies_length != 0) tell_server(fd, decoded.replies, decoded.replies_length);
    for (std::size_t i = 0; i < decoded.subnegotiations_length;
         i += 1 + decoded.subnegotiations[i]) {
        take_subnegotiation(decoded.subnegotiations + i + 1, decoded.subnegotiations[i]);
    }
    if (decoded.refused) server.refused = true;
    if (decoded.error != 0) {
        errno = decoded.error;
        return -1;
    }
    return static_cast<ssize_t>(decoded.kept);
}

// A server that holds back a small segment until the one before is acknowledged
// (Nagle's algorithm, as ser2net's default) would wait out this side's delayed
// acknowledgement, 40 ms, in the middle of an answer: acknowledge at once. The
// kernel falls back to delaying now and then, so this is said after each read.
void acknowledge_at_once(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

}  // namespace

ssize_t read_server(int fd, char* bytes, std::size_t room) {
    const ssize_t got = recv(fd, bytes, std::min(room, decode_capacity), 0);
    if (got > 0) acknowledge_at_once(fd);
    if (got == 0 || (got < 0 && errno == ECONNRESET)) {
        errno = EIO;
        return -1;
    }
    if (got < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return server.kind->decode(fd, bytes, static_cast<std::size_t>(got));
}

namespace {

// Keeps what the server sent as the card's bytes while the port was being
// taken: the count, and the first of them, since a server that turns a client
// away says why.
void keep_heard(const char* bytes, ssize_t count) {
    for (ssize_t i = 0; i < count; ++i, ++server.heard) {
        if (server.heard < sizeof server.said - 1) server.said[server.heard] = bytes[i];
    }
}

// Reads what the server sends, until done() or the server's patience is out, or
// the take's: 1 once done, 0 when out of patience, -1 with errno when the
// connection failed (EIO: closed).
int listen_to_server(int fd, bool (*done)()) {
    const long long deadline = std::min(now_ns() + server_patience_ns, server.give_up);
    while (!done()) {
        const long long left = deadline - now_ns();
        if (left <= 0) return 0;
        pollfd waiting{fd, POLLIN, 0};
        poll(&waiting, 1, static_cast<int>(left / 1'000'000 + 1));
        char bytes[256];
        const ssize_t got = read_server(fd, bytes, sizeof bytes);
        if (got < 0) return -1;
        keep_heard(bytes, got);
    }
    return 1;
}

// One address of a server's name.
struct endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// Starts a connection to to without waiting: the socket, or -1 with errno.
int start_connecting(const endpoint& to) {
    const auto* const address = reinterpret_cast<const sockaddr*>(&to.address);
    const int fd = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1) return -1;
    // Frames are small and must not wait for more to fill a segment.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    acknowledge_at_once(fd);
    if (connect(fd, address, to.length) != 0 && errno != EINPROGRESS) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Connects to one of count addresses, in their order, before deadline, as RFC
// 8305 does: each next one is tried once the one before has failed or has had
// attempt_delay_ns, and those begun are all kept waiting for until one connects,
// whose socket is returned and whose index is put in chosen. A name's address
// that never answers costs the others no more than that delay. Returns -1 with
// the errno of the last failure, ETIMEDOUT at the deadline, if none connects.
int connect_to_any(const endpoint* to, std::size_t count, long long deadline, std::size_t& chosen) {
    pollfd pending[addresses_capacity] = {};
    std::size_t tried[addresses_capacity] = {};
    std::size_t waiting = 0;
    std::size_t next = 0;
    long long next_at = 0;
    int error = ECONNREFUSED;
    int fd = -1;
    while (fd == -1) {
        const long long now = now_ns();
        if (now >= deadline) {
            error = ETIMEDOUT;
            break;
        }
        if (next < count && (waiting == 0 || now >= next_at)) {
            const int started = start_connecting(to[next]);
            if (started == -1) {
                error = errno;
            } else {
                pending[waiting] = {started, POLLOUT, 0};
                tried[waiting++] = next;
                next_at = now + attempt_delay_ns;
            }
            ++next;
            continue;
        }
        if (waiting == 0) break;
        const long long until = next < count ? std::min(next_at, deadline) : deadline;
        poll(pending, waiting, static_cast<int>((until - now) / 1'000'000 + 1));
        for (std::size_t i = 0; i < waiting && fd == -1;) {
            if (pending[i].revents == 0) {
                ++i;
                continue;
            }
            int failed = 0;
            socklen_t size = sizeof failed;
            getsockopt(pending[i].fd, SOL_SOCKET, SO_ERROR, &failed, &size);
            if (failed == 0) {
                fd = pending[i].fd;
                chosen = tried[i];
            } else {
                error = failed;
                close(pending[i].fd);
            }
            pending[i] = pending[--waiting];
            tried[i] = tried[waiting];
        }
    }
    for (std::size_t i = 0; i < waiting; ++i) close(pending[i].fd);
    if (fd == -1) errno = error;
    return fd;
}

[[noreturn]] void fail_opening(const char* port, const char* reason) {
    const shown_text shown_port = shown(port);
    std::fprintf(stderr, "Error opening %s!\n%s: %s: %s\n", shown_port.text, program_name(),
                 shown_port.text, reason);
    exit_failed();
}

// The addresses found, at most addresses_capacity, the families in turn as RFC
// 8305 asks, each family's in the order found. Returns how many.
std::size_t take_in_turn(const addrinfo* found, endpoint* to) {
    const int first_family = found->ai_family;
    const addrinfo* each_family[2] = {found, found};
    std::size_t count = 0;
    for (int turn = 0; count < addresses_capacity; turn ^= 1) {
        const addrinfo*& at = each_family[turn];
        while (at != nullptr && (at->ai_family == first_family) != (turn == 0)) at = at->ai_next;
        if (at == nullptr) {
            if (each_family[turn ^ 1] == nullptr) break;
            continue;
        }
        std::memcpy(&to[count].address, at->ai_addr, at->ai_addrlen);
        to[count++].length = at->ai_addrlen;
        at = at->ai_next;
    }
    return count;
}

}  // namespace

// Connects to the server of SCHEME://HOST:PORT, where HOST is a name, an IPv4
// address or an IPv6 one in brackets; taking the port gets the longer of the
// run's wait and the server's patience, from now.
int open_server(const card_request& request) {
    server = {};
    const scheme* const given = scheme_of(request.port);
    server.used = true;
    server.kind = given->kind;
    server.name = request.port;
    server.pause_ms = request.pause_ms;
    server.gap_ms = request.gap_ms;
    server.retry_until = now_ns() + request.wait_ms * 1'000'000LL;
    server.give_up = std::max(server.retry_until, now_ns() + server_patience_ns);
    const char* const where = request.port + std::strlen(given->prefix);
    const char* const bracket = *where == '[' ? std::strchr(where, ']') : nullptr;
    const char* const colon = bracket != nullptr ? bracket + 1 : std::strrchr(where, ':');
    char host[port_capacity] = {};
    const char* const service = colon != nullptr && *colon == ':' ? colon + 1 : "";
    if (colon != nullptr) {
        const char* const start = bracket != nullptr ? where + 1 : where;
        const char* const end = bracket != nullptr ? bracket : colon;
        std::memcpy(host, start, static_cast<std::size_t>(end - start));
    }
    const unsigned number = read_number(service);
    if (host[0] == '\0' || (bracket == nullptr && std::strchr(host, ':') != nullptr) ||
        number == 0 || number > 65535) {
        char reason[64];
        std::snprintf(reason, sizeof reason, "name the server as %sHOST:PORT", given->prefix);
        fail_opening(request.port, reason);
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int unresolved = getaddrinfo(host, service, &hints, &found);
    if (unresolved != 0) {
        fail_opening(request.port,
                     unresolved == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(unresolved));
    }
    endpoint to[addresses_capacity];
    const std::size_t count = take_in_turn(found, to);
    freeaddrinfo(found);
    const long long asked = now_ns();
    std::size_t chosen = 0;
    const int fd = connect_to_any(to, count, server.give_up, chosen);
    if (fd == -1) fail_opening(request.port, std::strerror(errno));
    server.connected_at = now_ns();
    server.connect_took = server.connected_at - asked;
    server.address = to[chosen].address;
    server.address_length = to[chosen].length;
    return fd;
}
namespace {

constexpr unsigned char line_settings[] = {set_baudrate, set_datasize, set_parity, set_stopsize,
                                           set_control};
// 9600 baud, 8 data bits, no parity, one stop bit, no flow control.
constexpr unsigned long line_values[] = {9600, 8, 1, 1, 1};

// Whether the server answered any line setting with a value other than asked.
bool took_other_settings() {
    for (std::size_t i = 0; i < sizeof line_settings; ++i) {
        const unsigned char command = line_settings[i];
        if (server.answered[command] && server.value[command] != line_values[i]) return true;
    }
    return false;
}

// Whether the server has said all that taking the port needs: its answers to
// the settings and the purge, or a refusal of either.
bool set_up_answered() {
    if (server.refused || took_other_settings()) return true;
    for (const unsigned char command : line_settings) {
        if (!server.answered[command]) return false;
    }
    return server.answered[purge_data];
}

// The server takes the port for this client by doing COM-PORT-OPTION and
// answering the line settings; one whose port another client has says so, or
// not, and closes the connection. Returns whether it took it; fails on a
// refusal, a malformed answer or none.
bool set_server_line(int fd) {
    // clang-format off
    constexpr unsigned char options[] = {
        iac, will, binary,  iac, do_option, binary,
        iac, will, suppress_go_ahead,  iac, do_option, suppress_go_ahead,
        iac, will, com_port};
    constexpr unsigned char settings[] = {
        iac, subnegotiation, com_port, set_baudrate, 0, 0, 0x25, 0x80, iac, subnegotiation_end,
        iac, subnegotiation, com_port, set_datasize, 8, iac, subnegotiation_end,
        iac, subnegotiation, com_port, set_parity, 1, iac, subnegotiation_end,
        iac, subnegotiation, com_port, set_stopsize, 1, iac, subnegotiation_end,
        iac, subnegotiation, com_port, set_control, 1, iac, subnegotiation_end};
    // What the server holds for the card from before is not this run's.
    constexpr unsigned char purge[] = {
        iac, subnegotiation, com_port, purge_data, 1, iac, subnegotiation_end};
    // clang-format on
    // The settings and the purge follow the offer at once, so that taking the
    // port costs one round trip: a server takes them once it agrees, which it
    // says first, and one that refuses says so instead of answering.
    unsigned char hello[sizeof options + sizeof settings + sizeof purge];
    std::memcpy(hello, options, sizeof options);
    std::memcpy(hello + sizeof options, settings, sizeof settings);
    std::memcpy(hello + sizeof options + sizeof settings, purge, sizeof purge);
    const long long sent = now_ns();
    tell_server(fd, hello, sizeof hello);
    const int heard = listen_to_server(fd, set_up_answered);
    // The handshake is a round trip too, and a server that opens its port before
    // it answers may have made this one the longer.
    server.round_trip = std::max(now_ns() - sent, server.connect_took);
    if (heard > 0 && server.refused) {
        fail_on_port(fd, "%s: Error setting up %s: %s", "the server does not do RFC 2217");
    }
    // A server that answered with other settings refused them, even if it then
    // closed the connection as a busy one does.
    if (took_other_settings()) {
        fail_on_port(fd, "%s: Error setting up %s: %s",
                     "the server did not take 9600 baud, 8N1, no flow control");
    }
    // Turned away before, a server silent until the take's time is out is busy still.
    if (heard == 0 && server.turned_away > 0) return false;
    if (heard == 0) {
        fail_on_port(fd, "%s: Error setting up %s: the server did not answer within %s",
                     server_patience);
    }
    if (heard < 0 && errno == EIO) return false;
    if (heard < 0) fail_on_port(fd, "%s: Error reading from %s: %s", server_reason(errno));
    return true;
}

// A raw bridge takes the port by keeping the connection; one whose port another
// client has says why, or not, and closes it. What it sends before the line has
// been quiet for the run's pause and gap, from the connection and the bridge's
// packing on, is from before it: a killed run's answer still arriving, what the
// bridge held while nobody was connected, a card's babble. That is kept as
// heard, and the card's bytes go on being taken as from before while they come
// within the gap, for one second at most. Returns whether the bridge kept the
// connection; fails on a server that begins with Telnet's negotiation.
bool take_raw_port(int fd) {
    const long long gap = server.gap_ms * 1'000'000LL;
    const long long quiet =
        server.connected_at + packing_allowance_ns + std::max(server.pause_ms * 1'000'000LL, gap);
    const long long longest = std::max(quiet, std::min(quiet + 1'000'000'000, server.give_up));
    long long end = quiet;
    bool closed = false;
    for (long long left = end - now_ns(); left > 0 && !closed; left = end - now_ns()) {
        pollfd waiting{fd, POLLIN, 0};
        poll(&waiting, 1, static_cast<int>(left / 1'000'000 + 1));
        char bytes[256];
        const ssize_t got = read_server(fd, bytes, sizeof bytes);
        if (got < 0 && errno != EIO) {
            fail_on_port(fd, "%s: Error reading from %s: %s", server_reason(errno));
        }
        closed = got < 0;
        if (got > 0) end = std::min(std::max(end, now_ns() + gap), longest);
        keep_heard(bytes, got);
    }
    server.round_trip = server.connect_took;
    const auto first = static_cast<unsigned char>(server.said[0]);
    const auto second = static_cast<unsigned char>(server.said[1]);
    if (server.heard >= 2 && first == iac && second >= subnegotiation && second != iac) {
        char reason[port_capacity + 64];
        const char* const where = std::strstr(server.name, "://") + 3;
        std::snprintf(reason, sizeof reason, "for RFC 2217, name it as rfc2217://%s", where);
        fail_on_port(fd, "%s: Error setting up %s: %s",
                     "the server began with Telnet's negotiation", shown(reason).text);
    }
    return !closed;
}

// Ends the run as lock_port does on a port that stays busy, with the server's
// words, if it said any, without the line end they came with.
[[noreturn]] void fail_busy(int fd, char* said, bool telnet) {
    said[std::strcspn(said, "\r\n")] = '\0';
    char reason[sizeof(shown_text) + 64] = {};
    if (said[0] != '\0') {
        std::snprintf(reason, sizeof reason, "the server said: %s", shown(said).text);
    } else if (!telnet) {
        std::snprintf(reason, sizeof reason, "the server closed the connection without a word");
    }
    fail_on_port(fd, "%s: %s is busy", nullptr, reason[0] != '\0' ? reason : nullptr);
}

}  // namespace

// Waits until the take's time is out for the server to take the port,
// connecting again each time it turns this client away.
void take_server_port(int fd) {
    const bool telnet = server.kind->telnet;
    int turned_away = 0;
    while (!server.kind->take(fd)) {
        char said[sizeof server.said];
        std::memcpy(said, server.said, sizeof said);
        if (now_ns() >= server.retry_until) fail_busy(fd, said, telnet);
        usleep(busy_retry_us);
        server_state again = {};
        again.used = true;
        again.kind = server.kind;
        again.name = server.name;
        again.retry_until = server.retry_until;
        again.give_up = server.give_up;
        again.pause_ms = server.pause_ms;
        again.gap_ms = server.gap_ms;
        again.address = server.address;
        again.address_length = server.address_length;
        again.turned_away = ++turned_away;
        server = again;
        const endpoint to{server.address, server.address_length};
        std::size_t chosen = 0;
        const long long asked = now_ns();
        const int fresh =
            connect_to_any(&to, 1, std::min(asked + server_patience_ns, server.give_up), chosen);
        if (fresh == -1 && errno == ETIMEDOUT && now_ns() >= server.give_up) {
            fail_busy(fd, said, telnet);
        }
        if (fresh == -1 || dup3(fresh, fd, O_CLOEXEC) == -1) {
            const int error = errno;
            close(fd);
            fail_opening(server.name, std::strerror(error));
        }
        close(fresh);
        server.connected_at = now_ns();
        server.connect_took = server.connected_at - asked;
    }
    char note[128];
    std::snprintf(note, sizeof note, "round trip to the server: %lld.%lld ms more for each pause%s",
                  server.round_trip / 1'000'000, server.round_trip % 1'000'000 / 100'000,
                  telnet ? "" : ", and 60 ms for a bridge's packing");
    trace_note(now_ns(), note);
}

long long server_round_trip_ns() {
    return server.round_trip;
}

long long server_connected_at() {
    // A raw bridge may hold an answer for its packing time after the card sent it.
    return server.connected_at + server_packing_ns();
}

bool is_server(const char* port) {
    return scheme_of(port) != nullptr;
}

long long server_packing_ns() {
    return server.kind->telnet ? 0 : packing_allowance_ns;
}

bool flush_server() {
    return server.heard > 0;
}

std::size_t encode_for_server(const char* bytes, std::size_t count, char* encoded) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (static_cast<unsigned char>(bytes[i]) == iac) encoded[length++] = bytes[i];
        encoded[length++] = bytes[i];
    }
    return length;
}

std::size_t frame_for_server(const char* bytes, std::size_t count, char* framed) {
    return server.kind->frame(bytes, count, framed);
}

ssize_t send_to_server(int fd, const char* bytes, std::size_t count) {
    return send(fd, bytes, count, MSG_NOSIGNAL);
}

const char* server_error(int error) {
    if (server.used && (error == EIO || error == EPIPE || error == ECONNRESET)) {
        return "the server closed the connection";
    }
    if (error == EPROTO) return "the server sent a malformed Telnet command";
    if (error == EMSGSIZE) return "the server sent a Telnet subnegotiation longer than 64 bytes";
    return nullptr;
}

telnet_decoded decode_from_server(telnet_decoder& decoder, char* bytes, std::size_t count) {
    using at = telnet_decoder::at;
    telnet_decoded decoded;
    for (std::size_t i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        switch (decoder.reading) {
        case at::data:
            if (byte == iac) {
                decoder.reading = at::command;
            } else {
                bytes[decoded.kept++] = bytes[i];
            }
            break;
        case at::command:
            decoder.reading = at::data;
            if (byte == iac) {
                bytes[decoded.kept++] = bytes[i];
            } else if (byte >= will) {
                decoder.verb = byte;
                decoder.reading = at::option;
            } else if (byte == subnegotiation) {
                decoder.sub_length = 0;
                decoder.reading = at::subnegotiation;
            } else if (byte < first_command) {
                decoded.error = EPROTO;
                return decoded;
            }
            break;
        case at::option:
            answer_option(decoded, decoder.verb, byte);
            decoder.reading = at::data;
            break;
        case at::subnegotiation:
        case at::subnegotiation_command:
            if (decoder.reading == at::subnegotiation && byte == iac) {
                decoder.reading = at::subnegotiation_command;
                break;
            }
            if (decoder.reading == at::subnegotiation_command && byte == subnegotiation_end) {
                // Its length, then its bytes.
                unsigned char* const taken =
                    decoded.subnegotiations + decoded.subnegotiations_length;
                taken[0] = static_cast<unsigned char>(decoder.sub_length);
                std::memcpy(taken + 1, decoder.sub, decoder.sub_length);
                decoded.subnegotiations_length += 1 + decoder.sub_length;
                decoder.reading = at::data;
                break;
            }
            if (decoder.reading == at::subnegotiation_command && byte != iac) {
                decoded.error = EPROTO;
                return decoded;
            }
            if (decoder.sub_length == subnegotiation_capacity) {
                decoded.error = EMSGSIZE;
                return decoded;
            }
            decoder.sub[decoder.sub_length++] = byte;
            decoder.reading = at::subnegotiation;
            break;
        }
    }
    return decoded;
}
