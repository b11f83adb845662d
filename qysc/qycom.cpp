// PLACEHOLDER until the virtual COM channel lands: replies nothing.
#include "qycom.h"

#include <string.h>

Job4Cmd M_Job4Cmd;
int iCmdEcho = 0;

extern "C" {

int Job4Cmd_Pending(const Job4Cmd *q) {
  return static_cast<int>((q->in + JOB4CMD_SLOTS - q->out) % JOB4CMD_SLOTS);
}

void Job4Cmd_Put(Job4Cmd *, const char *) {}

void QYCOM_Process(unsigned char *, int) {}

int QYCOM_IsCom(void) { return Job4Cmd_Pending(&M_Job4Cmd); }

void QYCOM_ClearBuffer(void) { M_Job4Cmd.in = M_Job4Cmd.out = 0; }

int QYCOM_GetCmdN(const char *pCmdData, int dataLen) {
  int n = 0;
  for (int i = 0; i < dataLen; i++) n += pCmdData[i] == '\r';
  return n;
}

char *myStrtok(char *, char) { return nullptr; }

}  // extern "C"
