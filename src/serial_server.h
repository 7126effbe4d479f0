// A card's line on a serial server, reached over TCP with Telnet's COM-PORT-OPTION
// (RFC 2217): connecting, taking the port with the line settings, the purge, and
// the card's bytes both ways, Telnet decoded and its commands answered here
// alone. serial_line hands a server's port here at each of its entries.
#pragma once

#include <sys/types.h>
#include <cstddef>

#include "options.h"

// Whether port names a serial server: rfc2217://...
bool is_server(const char* port);

// open_port for a server: connects to rfc2217://HOST:PORT, where HOST is a name,
// an IPv4 address or an IPv6 one in brackets, and returns the socket. A name that
// is no server's, or a server that cannot be reached, fails as open_port does.
int open_server(const card_request& request);

// Whether the port that open_port opened is a server's.
bool port_is_server();

// lock_port for a server: waits up to wait_ms for the server to take the port,
// connecting again each time it turns this client away; fails as lock_port on a
// port that stays busy, and as set_line on a server that refuses the settings.
void take_server_port(int fd, int wait_ms);

// flush_input for a server: asks it to purge what it holds for the card, and
// returns whether any of the card's bytes came before its answer. Fails as
// flush_input does.
bool flush_server(int fd);

// read_port for a server: up to room of the card's bytes, 0 for none now, or -1
// with errno: EIO for a server gone, EPROTO or EMSGSIZE for one that broke
// Telnet's rules.
ssize_t read_server(int fd, char* bytes, std::size_t room);

// The count bytes of a frame as a server takes them, into encoded, which has
// room for twice count: each 0xff, Telnet's IAC, doubled. Returns how many.
std::size_t encode_for_server(const char* bytes, std::size_t count, char* encoded);

// write_port's one write on a server's port: as write(2), without a SIGPIPE.
ssize_t send_to_server(int fd, const char* bytes, std::size_t count);

// What a failure with error says when it is the server's: its connection
// closed, or Telnet's rules broken. nullptr for any other.
const char* server_error(int error);
