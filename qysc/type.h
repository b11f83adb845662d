// The integer type names of the daemon: DWORD (unsigned 32-bit), WORD
// (unsigned 16-bit), BOOL (FALSE 0, TRUE 1), shared with the serial library.
#ifndef QYSC_TYPE_H
#define QYSC_TYPE_H

#include "qycomm.h"

#endif
