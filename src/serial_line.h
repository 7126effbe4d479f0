// The serial device: opening it, setting the line up, holding it for one run.
#pragma once

#include "options.h"

// Opens request.port and sets the line raw at 9600 baud, 8N1: no echo, no
// translation either way, no flow control, non-blocking reads. Returns the
// descriptor. If the open fails, prints "Error opening <port>!" to stderr and exits
// with status 1. A path that opens but is no terminal is returned as it is.
int open_port(const card_request& request);

// Takes an exclusive lock on fd, waiting up to 2 s for another run to let go, so
// that two runs never interleave their frames. If it stays held: prints the busy
// message, closes fd and exits with status 1. Where locks are not supported it
// returns without one.
void lock_port(int fd, const card_request& request);

// Ends a run that has the port open: flushes what the card already said to
// stdout, prints format (with the program name, then the port) to stderr, closes
// fd and exits with status 1.
[[noreturn]] void fail_on_port(int fd, const card_request& request, const char* format);
