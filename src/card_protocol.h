// The card's wire protocol: the get command, the set frame, the pause after each
// command and the copying of the card's answers to stdout.
#pragma once

#include <cstddef>

#include "options.h"

// Writes the get command 'g'. If it cannot be written: prints "Error writing to
// <port>", closes fd and exits with status 1.
void send_get(int fd, const card_request& request);

// Writes the set frame 's', the 8 bytes of request.data, 's' in one write. Fails
// as send_get.
void send_set(int fd, const card_request& request);

// Gives the card the time it has to answer a command: request.pause_ms.
void settle_wait(const card_request& request);

// Copies the bytes queued on fd to stdout unchanged, at most 4096 of them (the
// rest stays queued), and returns how many there were. Stops at the first read
// that finds nothing, so it never waits.
std::size_t drain_to_stdout(int fd);

// Switches the outputs that request asks for and keeps the others as the card
// reports them: prints what is already queued (late answers to earlier stages),
// sends 'g', waits, reads exactly eight state bytes, merges the masks into
// request.data (on beats off), sends the set frame, waits and drains.
// Without eight '0'/'1' bytes in time it sends no set frame: it prints "No valid
// state", closes fd and exits with status 1.
void merge_outputs(int fd, card_request& request);
