// Modbus TCP-to-RTU bridging of the port sections (slot 1 = RS-485 and
// section port 1, slot 2 = RS-232 and section port 2).
#ifndef QYSC_TCP2RTU_H
#define QYSC_TCP2RTU_H

#define TCP2RTU_OK 0
#define TCP2RTU_NO_SLOT (-1)      // not slot 1 or 2 (or no data)
#define TCP2RTU_REFUSED (-2)      // request shorter than 6 or longer than 1022 bytes
#define TCP2RTU_SEND_FAILED (-3)  // the port write failed
#define RTU2TCP_DROPPED (-1)      // response not passed on (logged)

#ifdef __cplusplus
extern "C" {
#endif

extern unsigned char tcp2rtuHeaderBuffer1[6];
extern unsigned char tcp2rtuHeaderBuffer2[6];

// Turns the Modbus TCP request of a section into an RTU frame with CRC and
// writes it to the slot's port. TCP2RTU_OK when sent; TCP2RTU_NO_SLOT or
// TCP2RTU_REFUSED (logged) when nothing went to the line;
// TCP2RTU_SEND_FAILED.
int TCP2RTU_Request(int slot, const unsigned char *data, int len);

// Takes n bytes of RTU response from the slot's port (always all n) and
// writes the Modbus TCP response into out (room for n + 4 bytes). Returns
// the section length n + 4, or RTU2TCP_DROPPED when the response is dropped (shorter
// than 2 bytes, longer than 1018, not all n bytes delivered, or a wrong
// CRC; each logged in one line).
int RTU2TCP_Response(int slot, unsigned char *out, int n);

#ifdef __cplusplus
}
#endif

#endif
