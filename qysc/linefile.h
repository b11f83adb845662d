// Line-by-line reading of a small text file without the C library's FILE
// (which allocates): one descriptor and a fixed buffer, closed on scope exit.
#ifndef QYSC_LINEFILE_H
#define QYSC_LINEFILE_H

class LineFile {
 public:
  // Opens the board path (through the sandbox in the sandbox build).
  explicit LineFile(const char *path);
  ~LineFile();
  LineFile(const LineFile &) = delete;
  LineFile &operator=(const LineFile &) = delete;

  bool ok() const { return fd_ >= 0; }
  // As fgets: at most size - 1 bytes, up to and including a '\n', then a
  // NUL; false at the end of the file (or on a read error) with nothing read.
  bool gets(char *line, int size);

 private:
  bool fill();
  int fd_ = -1;
  char buf_[512] = {};
  int len_ = 0;
  int pos_ = 0;
};

#endif
