// Files of the secure link (board paths, through the sandbox): read whole
// into the TLS arena, written whole under a temporary name and renamed.
#ifndef QYSC_TLSFILE_H
#define QYSC_TLSFILE_H

#include <stddef.h>

#define TLS_FILE_MAX (32 * 1024)  // the largest PEM file read (a CA bundle)

// Whether the board path names an existing file.
bool tls_file_exists(const char *path);
// The file's bytes and a NUL after them, in an arena block the caller frees
// with tls_file_drop (which wipes it); null when it cannot be read or is
// larger than TLS_FILE_MAX. *len is the size with the NUL (as the PEM
// parsers want it).
unsigned char *tls_file_read(const char *path, size_t *len);
void tls_file_drop(unsigned char *data, size_t len);
// Writes len bytes as the file at path with the mode, replacing it only
// when all went to disk; the folder is made (0700) if missing. 0 or -1.
int tls_file_write(const char *path, const unsigned char *data, size_t len, int mode);
// Makes a file that others can read readable by its owner only; true when
// it was so already.
bool tls_file_private(const char *path);

#endif
