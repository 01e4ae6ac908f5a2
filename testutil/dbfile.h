// dbfile.h: records and frames built by hand, laid out as the writers lay
// them out, for tests that feed the readers exactly the bytes they want.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "db/db.h"
#include "db/le.h"
#include "sha1/sha1.h"

// A record whose attributes all differ from zero and from each other's
// defaults, so that a field printed or compared in the wrong place shows.
inline db_rec
test_rec(uint64_t ino, uint16_t mode, uint16_t mask)
{
  db_rec r;
  memset(&r, 0, sizeof r);
  r.ino = ino;
  r.mode = mode;
  r.links = 1;
  r.uid = 1001;
  r.gid = 20;
  r.size = 4096;
  r.flags = 0x2;
  r.ctime = 1000000000;  // 2001-09-09 01:46:40 UTC
  r.csum[0] = 0xde;
  r.csum[DB_SUM_LEN - 1] = 0x01;
  r.mask = mask;
  return r;
}

inline std::string
rec_bytes(const db_rec &r)
{
  uint8_t b[DB_REC_LEN];
  db_rec_pack(&r, b);
  return std::string(reinterpret_cast<char *>(b), sizeof b);
}

// One frame: its head, the path and the data.
inline std::string
frame_bytes(const std::string &path, uint8_t kind, const std::string &data)
{
  uint8_t head[DB_HEAD_LEN];
  le_put16(head, uint16_t(path.size()));
  le_put32(head + 2, uint32_t(data.size()));
  head[6] = kind;
  return std::string(reinterpret_cast<char *>(head), sizeof head) + path + data;
}

// The checksum of these bytes, and the one a record holds, as strings that
// compare and print.
inline std::string
sha(const std::string &s)
{
  uint8_t d[SHA1_LEN];
  sha_buf(s.data(), int32_t(s.size()), d);
  return std::string(reinterpret_cast<char *>(d), SHA1_LEN);
}

inline std::string
csum(const db_rec &r)
{
  return std::string(reinterpret_cast<const char *>(r.csum), SHA1_LEN);
}
