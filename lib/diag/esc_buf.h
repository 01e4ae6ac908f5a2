// esc_buf.h: text built in a local buffer of N bytes and handed to one
// stream with as few fwrite calls as it takes: one whenever it fits, so a
// message reaches an unbuffered standard error as one write and is never
// interleaved with another. Only text larger than the buffer goes out in
// pieces. Names are put in their escaped form (esc.h).
#pragma once
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "diag/esc.h"

template <size_t N>
class esc_buf {
  static_assert(N >= ESC_GROW, "room for one escaped byte");

 public:
  explicit esc_buf(FILE *f) : f_(f) {}
  esc_buf(const esc_buf &) = delete;
  esc_buf &operator=(const esc_buf &) = delete;

  void put(const char *s, size_t n)
  {
    if (n <= N - len_) {  // the usual case: it fits
      memcpy(buf_ + len_, s, n);
      len_ += n;
      return;
    }
    put_pieces(s, n);
  }
  void put(const char *s) { put(s, strlen(s)); }
  void put(char c)
  {
    if (len_ == N)
      flush();
    buf_[len_++] = c;
  }

  // The terminated name s, escaped. A name without a special byte, the
  // usual case, is scanned once by strlen and copied once, by a pass that
  // tests each byte as it copies it.
  void put_name(const char *s)
  {
    size_t n = strlen(s);
    if (n <= N - len_ && copy_plain(s, n))
      return;
    put_escaped(s, n);
  }
  // The n bytes at s, escaped as a name is.
  void put_name(const char *s, size_t n)
  {
    if (n <= N - len_ && copy_plain(s, n))
      return;
    put_escaped(s, n);
  }

  // Writes out what the buffer holds. Nothing is written after a write has
  // failed: every later flush is -1 with the errno of that first failure.
  // The destructor writes nothing, so call this last.
  int flush()
  {
    if (err_ == 0 && len_ > 0) {
      errno = 0;  // stdio may fail without a system call to set errno
      if (fwrite(buf_, 1, len_, f_) != len_)
        err_ = errno != 0 ? errno : EIO;
    }
    len_ = 0;
    if (err_ == 0)
      return 0;
    errno = err_;
    return -1;
  }

 private:
  // Copies the n bytes at s behind what the buffer holds, which has room
  // for them, and keeps them when none is special. Written without
  // branches so that the compiler copies and tests many bytes at once; a
  // bool in place of the byte that gathers the tests keeps it from that.
  bool copy_plain(const char *s, size_t n)
  {
    const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
    char *o = buf_ + len_;
    unsigned char special = 0;
    for (size_t i = 0; i < n; i++) {
      o[i] = s[i];
      special |= esc_special(u[i]);
    }
    if (special != 0)
      return false;
    len_ += n;
    return true;
  }

  // The n bytes at s escaped, in pieces small enough to fit whatever they
  // hold; the buffer goes out only when it is as good as full, so text
  // whose escaped form fits still leaves with one write.
  void put_escaped(const char *s, size_t n)
  {
    while (n > 0) {
      if (N - len_ < ESC_GROW)
        flush();
      size_t k = (N - len_) / ESC_GROW < n ? (N - len_) / ESC_GROW : n;
      len_ += esc_bytes(s, k, buf_ + len_);
      s += k;
      n -= k;
    }
  }

  void put_pieces(const char *s, size_t n)
  {
    while (n > 0) {
      if (len_ == N)
        flush();
      size_t k = N - len_ < n ? N - len_ : n;
      memcpy(buf_ + len_, s, k);
      len_ += k;
      s += k;
      n -= k;
    }
  }

  FILE *f_;
  size_t len_ = 0;
  int err_ = 0;
  char buf_[N];
};
