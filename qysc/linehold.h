// The serial lines' holding queues. Every wait that watches the lines
// reads their bytes into a bounded queue per line as they come (the
// pass's, and a packet's for room in the link's socket, up to 5 s, so a
// short stall of the link does not overrun a UART's receive FIFO). The
// UART wrappers put the held bytes in front of the port's own queue: a
// burst's length counts both, and its bytes come from the held ones first,
// so nothing changes order.
#ifndef QYSC_LINEHOLD_H
#define QYSC_LINEHOLD_H

#define LINE_HOLD_SIZE 16384  // per line: 1.4 s at 115 200 bit/s

// Room left in the slot's queue (slot 1: RS-485, 2: RS-232; 0 for others).
int hold_room(int slot);
// Reads what the slot's port has, up to the room: bytes read (0 none, or
// the port's error code below 0).
int hold_fill(int slot);
// For a port number: the bytes held, and up to n of them taken in order.
int hold_count(unsigned char port);
int hold_take(unsigned char port, char *buf, int n);
void hold_clear(unsigned char port);

#endif
