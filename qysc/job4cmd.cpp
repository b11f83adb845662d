// The reply ring Job4Cmd shared by both command channels: 16 slots, `in`
// written by the command processors, `out` advanced by the take side,
// which the reply drain of the packet builders uses.
#include <string.h>

#include "qycom.h"

namespace {

constexpr uint32_t kSlotMask = JOB4CMD_SLOTS - 1;  // 16 slots: wrap by masking
constexpr int kMaxPending = JOB4CMD_SLOTS - 1;     // in == out reads as empty

}  // namespace

extern "C" {

int Job4Cmd_Pending(const Job4Cmd *q) {
  return static_cast<int>((q->in - q->out) & kSlotMask);
}

int Job4Cmd_Full(const Job4Cmd *q) { return Job4Cmd_Pending(q) >= kMaxPending; }

// A full ring keeps its 15 replies and refuses the new one: a 16th would
// make in == out and the ring read as empty, losing all 16. The oldest are
// kept rather than the newest because the drain joins replies without
// separators, so the server pairs them with its commands by position.
void Job4Cmd_Put(Job4Cmd *q, const char *text) {
  if (Job4Cmd_Full(q)) return;
  const uint32_t slot = q->in & kSlotMask;
  size_t len = strnlen(text, JOB4CMD_TEXT - 1);
  memcpy(q->bData[slot], text, len);
  q->bData[slot][len] = '\0';
  q->bDataLen[slot] = static_cast<uint8_t>(len);
  q->in = (slot + 1) & kSlotMask;
}

const char *Job4Cmd_Oldest(const Job4Cmd *q, int *len, int *slot) {
  if (Job4Cmd_Pending(q) == 0) return nullptr;
  const uint32_t out = q->out & kSlotMask;
  const int n = q->bDataLen[out];
  *len = n < JOB4CMD_TEXT ? n : JOB4CMD_TEXT;
  *slot = static_cast<int>(out);
  return q->bData[out];
}

void Job4Cmd_Drop(Job4Cmd *q) {
  if (Job4Cmd_Pending(q) > 0) q->out = (q->out + 1) & kSlotMask;
}

}  // extern "C"
