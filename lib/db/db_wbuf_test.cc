// Write buffering of a database handle: frames gathered into large writes
// must all reach the file, and a failed write must still be reported.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "db/db.h"
#include "testutil/testutil.h"

using DbWbuf = TmpDirTest;

namespace {

int
count_frame(const db_frame *, const void *, void *arg)
{
  ++*static_cast<int *>(arg);
  return 0;
}

off_t
file_size(const std::string &name)
{
  struct stat st;
  return stat(name.c_str(), &st) == 0 ? st.st_size : -1;
}

}  // namespace

TEST_F(DbWbuf, FramesWaitThenAllArrive) {
  std::string name = path("db");
  db_handle *db = db_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_NE(nullptr, db);
  ASSERT_EQ(0, db_wbuffer(db));
  uint8_t rec[DB_REC_LEN] = {1};
  // Enough frames to fill the buffer several times over.
  const int n = 20000;
  for (int i = 0; i < n; i++) {
    std::string p = "/f" + std::to_string(i);
    ASSERT_EQ(0, db_argput(db, p.c_str(), DB_REC_LEN, DB_KIND_SNAP, rec));
  }
  EXPECT_EQ(0, db_flush(db));
  off_t flushed = file_size(name);
  EXPECT_EQ(0, db_argput(db, "/last", DB_REC_LEN, DB_KIND_SNAP, rec));
  EXPECT_EQ(flushed, file_size(name));  // still waiting
  EXPECT_EQ(0, db_close(db));           // and written by the close
  int frames = 0;
  uint8_t data[112];
  EXPECT_EQ(0,
            db_readall(name.c_str(), count_frame, &frames, data, sizeof data));
  EXPECT_EQ(n + 1, frames);
}

// A write error shows at the call that writes: a flush, a put that fills
// the buffer, or the close.
TEST_F(DbWbuf, WriteErrorReported) {
  uint8_t rec[DB_REC_LEN] = {};
  db_handle *db = db_open("/dev/full", O_WRONLY, 0);
  if (db == nullptr)
    GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(0, db_wbuffer(db));
  EXPECT_EQ(0, db_argput(db, "/a", DB_REC_LEN, DB_KIND_SNAP, rec));
  errno = 0;
  EXPECT_EQ(-1, db_flush(db));
  EXPECT_EQ(ENOSPC, errno);
  int r = 0;
  for (int i = 0; i < 10000 && r == 0; i++)
    r = db_argput(db, "/a", DB_REC_LEN, DB_KIND_SNAP, rec);
  EXPECT_EQ(-1, r);
  EXPECT_EQ(0, db_argput(db, "/a", DB_REC_LEN, DB_KIND_SNAP, rec));
  errno = 0;
  EXPECT_EQ(-1, db_close(db));
  EXPECT_EQ(ENOSPC, errno);
}
