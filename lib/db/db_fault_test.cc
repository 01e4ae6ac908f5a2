// db_fault_test.cc: what the fault tests found in the database module.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "db/db.h"
#include "testutil/testutil.h"

class DbFault : public TmpDirTest {};

// A new database gets the bits it was created with, not what the umask
// leaves of them (0277 would have made it read-only, 0777 unreadable).
TEST_F(DbFault, CreatedWithExactlyItsModeWhateverTheUmask) {
  for (mode_t mask : {0000, 0022, 0277, 0777}) {
    std::string name = path("db" + std::to_string(mask));
    mode_t old = umask(mask);
    db_handle *db = db_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    umask(old);
    ASSERT_NE(nullptr, db);
    EXPECT_EQ(0, db_close(db));
    struct stat st;
    ASSERT_EQ(0, stat(name.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777) << "umask " << std::oct << mask;
  }
}
