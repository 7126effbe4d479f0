// A card's line on a serial server, reached over TCP: with Telnet's
// COM-PORT-OPTION (RFC 2217), or raw, as a bridge that passes the card's bytes
// unchanged and sets the line from its own configuration. Connecting, taking
// the port (with the line settings and the purge on RFC 2217), and the card's
// bytes both ways, Telnet decoded and its commands answered here alone.
// serial_line hands a server's port here at each of its entries, and the kind
// of link is picked once, from the scheme, when the port is opened.
#pragma once

#include <sys/types.h>
#include <cstddef>

#include "options.h"

// Whether port names a serial server: rfc2217://..., or a raw bridge:
// socket://... or tcp://..., the same.
bool is_server(const char* port);

// open_port for a server: connects to SCHEME://HOST:PORT, where HOST is a name,
// an IPv4 address or an IPv6 one in brackets, and returns the socket. Taking the
// port, this connection and every one after it, must be over within the longer
// of request.wait_ms and the server's patience of 3 s from now. Each of a name's
// addresses gets its turn, 250 ms after the one before or once that one failed,
// as RFC 8305 has it. A name that is no server's, or a server that cannot be
// reached in that time, fails as open_port does.
int open_server(const card_request& request);

// lock_port for a server: waits, within the time that open_server gave, for the
// server to take the port, with the line settings and a purge of what it holds
// for the card, measuring the round trip; connects again each time it turns
// this client away. Fails as lock_port on a port that stays busy, and as
// set_line, at once, on a server that refuses the settings or answers any with
// another value. A raw bridge takes the port by keeping the connection while
// the run's pause and gap, and its packing allowance, pass; what it sends
// meanwhile is from before the connection. One that closes the connection,
// with words or without, is busy; one that begins with Telnet's negotiation
// fails as set_line, naming rfc2217://. The round trip of a raw link is that
// of the connection's handshake.
void take_server_port(int fd);

// A frame of count bytes as the server takes it, into framed, which has room for
// twice count: Telnet-encoded on RFC 2217 (see encode_for_server), as it is on
// a raw link. Returns how many.
std::size_t frame_for_server(const char* bytes, std::size_t count, char* framed);

// What a raw bridge may add to each pause by holding the card's bytes until its
// line has been quiet, in ns: the packing allowance; 0 on RFC 2217.
long long server_packing_ns();

// When the connection that took the port was made, on CLOCK_MONOTONIC in ns, and
// on a raw link the packing allowance after it: a server keeps no mark of an
// answer owed, so one may be on its way since then.
long long server_connected_at();

// How long the server took to answer the settings and the purge, or to take
// the connection if that took longer, on CLOCK_MONOTONIC in ns; on a raw link,
// how long the connection took.
long long server_round_trip_ns();

// flush_input for a server: the purge was asked for with the line settings;
// returns whether any of the card's bytes came before the server took the port.
bool flush_server();

// read_port for a server: up to room of the card's bytes, 0 for none now, or -1
// with errno: EIO for a server gone, EPROTO or EMSGSIZE for one that broke
// Telnet's rules.
ssize_t read_server(int fd, char* bytes, std::size_t room);

// Telnet as a server speaks it, decoded with no descriptor, clock or global
// state: read_server feeds it what it receives, a piece at a time.

// The longest subnegotiation a server may send; a longer one is an error.
inline constexpr std::size_t subnegotiation_capacity = 64;
// The most bytes that one call of decode_from_server takes.
inline constexpr std::size_t decode_capacity = 256;

// Where the decoder is in a server's stream, from one piece to the next.
struct telnet_decoder {
    enum class at { data, command, option, subnegotiation, subnegotiation_command };
    at reading = at::data;
    unsigned char verb = 0;  // WILL, WONT, DO or DONT, before its option
    unsigned char sub[subnegotiation_capacity] = {};
    std::size_t sub_length = 0;
};

// What a piece of a server's stream holds besides the card's bytes.
struct telnet_decoded {
    std::size_t kept = 0;  // the card's bytes, moved to the front of the piece
    // The refusals of options owed to the server, in order: 3 bytes for every 3
    // of the piece, but the first, whose IAC and verb may have come before it.
    unsigned char replies[decode_capacity + 2] = {};
    std::size_t replies_length = 0;
    // Each subnegotiation completed: its length, then its bytes, IAC undoubled;
    // no more than the piece held, but for the first, begun before it.
    unsigned char subnegotiations[decode_capacity + subnegotiation_capacity] = {};
    std::size_t subnegotiations_length = 0;
    bool refused = false;  // the server will not do COM-PORT-OPTION
    // EPROTO for a malformed command, EMSGSIZE for a subnegotiation past its
    // bound; what came before it is given back, and the stream is over.
    int error = 0;
};

// Decodes a piece of count bytes of a server's stream, at most decode_capacity,
// in place, from where decoder left off.
telnet_decoded decode_from_server(telnet_decoder& decoder, char* bytes, std::size_t count);

// The count bytes of a frame as a server takes them, into encoded, which has
// room for twice count: each 0xff, Telnet's IAC, doubled. Returns how many.
std::size_t encode_for_server(const char* bytes, std::size_t count, char* encoded);

// write_port's one write on a server's port: as write(2), without a SIGPIPE.
ssize_t send_to_server(int fd, const char* bytes, std::size_t count);

// What a failure with error says when it is the server's: its connection
// closed, or Telnet's rules broken. nullptr for any other.
const char* server_error(int error);
