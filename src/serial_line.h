// The serial device: opening it, holding it for one run, setting the line up,
// and moving the card's bytes both ways; on a local line here, or on a serial
// server's or a raw bridge's, which this module hands to serial_server at each
// entry, so that nothing above it needs to know which. open_port picks the
// kind of line once; every entry does what that kind does.
#pragma once

#include <sys/types.h>
#include <cstddef>

#include "options.h"

// Opens request.port for reading and writing without blocking, names it for the
// messages and returns the descriptor. If the open fails, prints "Error opening
// <port>!" and a line with the reason to stderr and exits as exit_failed. A path
// that opens but is neither a terminal nor the null device (a file, /dev/zero),
// that is an active kernel console, or that is the user's own terminal under
// any name (the controlling terminal, or that of stdin, stdout or stderr), is
// closed untouched and refused as fail_on_port refuses. A port named
// rfc2217://HOST:PORT is a connection to a serial server, and one named
// socket://HOST:PORT or tcp://HOST:PORT to a raw TCP bridge: a host or port
// that cannot be reached fails as an open does.
int open_port(const card_request& request);

// Whether the port that open_port opened is the null device: a dry run, with no
// line to set up and no card to answer.
bool port_is_null();

// Takes an exclusive lock on fd, waiting up to wait_ms for another run to let go,
// so that two runs never interleave their frames. If it stays held: prints the
// busy message, closes fd and exits as fail_on_port, the line untouched. Where
// locks are not supported it returns without one. A server takes the port for
// this run when it answers the line settings, which are then set, and a raw
// bridge when it keeps the connection (see take_server_port); one that turns
// the run away, with a reason or none, is busy, and is asked again, within the
// longer of wait_ms and 3 s from open_port. A server that refuses the settings
// fails as set_line.
void lock_port(int fd, int wait_ms);

// Sets a terminal's line raw at 9600 baud, 8N1: no echo, no translation either
// way, no flow control, non-blocking reads, and reads the settings back. It also
// marks the line as owed an answer until unmark_line, noting whether an earlier
// run had left the mark (see owed_answer_since). If a
// call fails or the line did not take them: prints "Error setting up <port>" and
// the reason, closes fd and exits with status 1, nothing sent. The null device
// is left as it is, and so is a server's line, set when it took the port.
void set_line(int fd);

// Asks a local line's driver for low latency (ASYNC_LOW_LATENCY through
// TIOCSSERIAL, with the rest of the serial flags as read, which any user may
// set): behind an FTDI adapter, the chip's 16 ms latency timer becomes 1 ms.
// Where it is on already, a call fails or the flag does not read back as set,
// nothing changes and nothing is said but a line of --trace. The flag it set
// is put back by close_port, by fail_on_port and before SIGINT, SIGTERM or
// SIGHUP ends the run, which then ends by that signal. Servers are left alone.
void hasten_line(int fd);

// Puts back what hasten_line set on fd, then closes it. A flag that cannot be
// put back stays set; the port is closed all the same.
void close_port(int fd);

// Clears set_line's mark, once every answer that the run asked for is in, so
// that the next run need not wait for one. A run that fails leaves the mark. If
// the line cannot be read or set, the mark stays and the next run waits once.
// Servers and the null device have no mark.
void unmark_line(int fd);

// Since when an answer to an earlier run's command may still be coming, on
// CLOCK_MONOTONIC in ns; 0 if none can be. On a local line: when set_line found
// the mark of a run that ended without its answer. A server keeps no mark: when
// the connection that took the port was made, and on a raw link the bridge's
// packing allowance after it.
long long owed_answer_since();

// How long a server took to answer when it took the port, on CLOCK_MONOTONIC in
// ns: the round trip that each command and its answer add. 0 on a local line; a
// server's is never 0.
long long line_round_trip_ns();

// What a raw bridge may add to each pause by holding the card's bytes, in ns:
// its packing allowance; 0 on any other line.
long long line_packing_ns();

// Throws away what the line holds before the run's first command: on a server,
// what it buffered too. Returns whether there was anything. Fails as set_line
// when that cannot be done, or as read_answer when the connection breaks.
bool flush_input(int fd);

// Reads up to room of the card's bytes without waiting. Returns how many, 0 when
// none are to be had now, or -1 with errno: EIO for a hang-up or a server gone,
// EPROTO or EMSGSIZE for a server that broke Telnet's rules.
ssize_t read_port(int fd, char* bytes, std::size_t room);

// What a failure with error says to a user: a hang-up as what it is on this port.
const char* line_error(int error);

// The longest frame that write_port takes.
inline constexpr std::size_t frame_capacity = 16;

// Writes a whole frame to fd in one write, so that a signal finds it either
// unsent or sent. If the port takes only part, the rest follows as soon as it
// takes more, for at most 1 s in all. Otherwise fails as fail_on_port with
// "Error writing to <port>: <reason>"; the card may then hold part of the frame.
void write_port(int fd, const char* bytes, std::size_t count);
