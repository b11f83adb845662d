// Virtual COM command channel (section port 256) and the reply ring
// Job4Cmd that both command channels use.
#ifndef QYSC_QYCOM_H
#define QYSC_QYCOM_H

#include <stdint.h>

#define JOB4CMD_SLOTS 16
#define JOB4CMD_TEXT 128  // a reply holds at most 127 characters

typedef struct JOB4CMD {
  uint32_t in;   // slot the next reply is written into
  uint32_t out;  // slot of the oldest reply not yet sent
  char bData[JOB4CMD_SLOTS][JOB4CMD_TEXT];
  uint8_t bDataLen[JOB4CMD_SLOTS];
} Job4Cmd;

#ifdef __cplusplus
extern "C" {
#endif

extern Job4Cmd M_Job4Cmd;
extern int iCmdEcho;

// Ring rules: pending = in - out (mod 16); writing puts the text in slot
// `in` and advances it; reading takes slot `out` and advances it.
int Job4Cmd_Pending(const Job4Cmd *q);
// Non-zero when 15 replies are pending: the ring can tell no more apart.
int Job4Cmd_Full(const Job4Cmd *q);
// Texts longer than 127 characters are cut. A full ring refuses the text
// (it keeps the 15 oldest replies); the command processors check
// Job4Cmd_Full first and do not carry out a command they cannot answer.
void Job4Cmd_Put(Job4Cmd *q, const char *text);
// The take side: the oldest pending reply (its text, length and slot), or
// null when none is pending; Job4Cmd_Drop then takes it off the ring.
const char *Job4Cmd_Oldest(const Job4Cmd *q, int *len, int *slot);
void Job4Cmd_Drop(Job4Cmd *q);

void QYCOM_Process(unsigned char *CmdData, int dataLen);
int QYCOM_IsCom(void);
void QYCOM_ClearBuffer(void);
int QYCOM_GetCmdN(const char *pCmdData, int dataLen);
char *myStrtok(char *data, char delim);

#ifdef __cplusplus
}
#endif

#endif
