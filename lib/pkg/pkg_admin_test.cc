// The records beside the lists that decide where and how a package's files
// lie: diversions, stat overrides, the alternatives' links; and dpkg's log
// of operations.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "pkg/pkg.h"
#include "pkg/pkg_int.h"
#include "testutil/pkg_fake.h"
#include "testutil/testutil.h"

namespace {

class PkgAdmin : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    root_ = dir_;
  }
  void TearDown() override
  {
    pkg_close(db_);
    TmpDirTest::TearDown();
  }
  // The records of f under the test's root; null with *err.
  pkg_db *open(pkg_fake f, std::string *err)
  {
    pkg_close(db_);
    db_ = nullptr;
    f.pf_root = root_;
    db_ = pkg_fake_open(f, err);
    return db_;
  }
  std::string root_;
  pkg_db *db_ = nullptr;
};

}  // namespace

// Three lines a record: the path, where it went, the package that moved it
// (":" for the administrator). A package's own diversion leaves its file
// in place; a record cut short diverts nothing.
TEST_F(PkgAdmin, Diversions) {
  const struct {
    const char *what, *text, *pkg, *path, *want;
  } cases[] = {
      {"another package's file", "/a\n/a.d\nx\n", "y", "/a", "/a.d"},
      {"the diverting package's own", "/a\n/a.d\nx\n", "x", "/a", "/a"},
      {"a path not diverted", "/a\n/a.d\nx\n", "y", "/a.d", "/a.d"},
      {"by the administrator", "/a\n/a.d\n:\n", "x", "/a", "/a.d"},
      {"the second of two", "/a\n/a.d\nx\n/b c\n/b c.d\nz\n", "y", "/b c",
       "/b c.d"},
      {"without the final newline", "/a\n/a.d\nx", "y", "/a", "/a.d"},
      {"the last record cut to two lines", "/a\n/a.d\nx\n/b\n/b.d\n", "y", "/b",
       "/b"},
      {"cut to one line", "/b\n", "y", "/b", "/b"},
      {"empty", "", "y", "/a", "/a"},
  };
  for (const auto &c : cases) {
    pkg_fake f;
    f.pf_diversions = c.text;
    std::string err;
    pkg_db *db = open(f, &err);
    ASSERT_NE(nullptr, db) << err;
    EXPECT_EQ(c.want, pkg_located(db, c.pkg, c.path)) << c.what;
  }
}

// A line is user, group, mode and the path, the rest of the line. Users
// and groups are "#number" or names the root's passwd and group map; an
// override that cannot be read as a whole is refused, never half taken.
TEST_F(PkgAdmin, StatOverrides) {
  pkg_fake_put(root_, "/etc/passwd",
               "root:x:0:0:root:/root:/bin/sh\n"
               "mail:x:8:8:mail:/var/mail:/usr/sbin/nologin\nbroken\n"
               "odd:x:\n");
  pkg_fake_put(root_, "/etc/group", "root:x:0:\nshadow:x:42:\nmail:x:8:\n");
  pkg_fake_put(root_, "/usr/bin/.keep", "");
  ASSERT_EQ(0, symlink("usr/bin", (root_ + "/bin").c_str()));
  const std::string file = root_ + "/var/lib/dpkg/statoverride";
  const struct {
    const char *what, *text, *path;
    const char *want;  // "perm uid gid", "-" for none, or the error
  } cases[] = {
      {"names", "root root 4755 /usr/bin/su\n", "/usr/bin/su", "4755 0 0"},
      {"other names", "mail shadow 2755 /usr/bin/x\n", "/usr/bin/x",
       "2755 8 42"},
      {"numbers", "#1000 #50 0640 /etc/x\n", "/etc/x", "640 1000 50"},
      {"blanks and tabs", "root\tshadow   0600  /etc/x\n", "/etc/x",
       "600 0 42"},
      {"the second of two lines", "#1 #1 0644 /a\n#2 #2 0600 /etc/x", "/etc/x",
       "600 2 2"},
      {"a path with blanks", "root root 0755 /usr/bin/my prog\n",
       "/usr/bin/my prog", "755 0 0"},
      {"not the path's first word", "root root 0755 /usr/bin/my prog\n",
       "/usr/bin/my", "-"},
      {"a path through a directory link", "root root 4711 /bin/x\n",
       "/usr/bin/x", "4711 0 0"},
      {"too few words", "root root 0755\n", "/usr/bin/x", "-"},
      {"an unknown user", "nobody root 0644 /x\n", "/x",
       "unknown user or group in \"nobody root 0644 /x\""},
      {"an unknown group", "root nogroup 0644 /x\n", "/x",
       "unknown user or group in \"root nogroup 0644 /x\""},
      {"a passwd line without its fields", "broken root 0644 /x\n", "/x",
       "unknown user or group in \"broken root 0644 /x\""},
      {"a number that is none", "#abc root 0644 /x\n", "/x",
       "unknown user or group in \"#abc root 0644 /x\""},
      {"a negative number", "root #-1 0644 /x\n", "/x",
       "unknown user or group in \"root #-1 0644 /x\""},
      {"a number and more", "#12x root 0644 /x\n", "/x",
       "unknown user or group in \"#12x root 0644 /x\""},
      {"a mode that is not octal", "root root 0x755 /x\n", "/x",
       "bad mode in \"root root 0x755 /x\""},
      {"a mode with an 8", "root root 0758 /x\n", "/x",
       "bad mode in \"root root 0758 /x\""},
      {"a mode beyond the permissions", "root root 17777 /x\n", "/x",
       "bad mode in \"root root 17777 /x\""},
  };
  for (const auto &c : cases) {
    pkg_fake f;
    f.pf_statoverride = c.text;
    std::string err;
    pkg_db *db = open(f, &err);
    std::string got;
    if (db == nullptr) {
      EXPECT_EQ(0u, err.find(file + ": ")) << c.what << ": " << err;
      got = err.substr(err.find(": ") + 2);
    } else {
      uint16_t perm = 0xdead;
      uint32_t uid = 77, gid = 77;
      char b[64] = "-";
      if (pkg_override(db, c.path, &perm, &uid, &gid))
        snprintf(b, sizeof b, "%o %u %u", unsigned(perm), uid, gid);
      got = b;
    }
    EXPECT_EQ(c.want, got) << c.what;
  }
}

// One file per link group: the mode, the master link, the slaves' names
// and links up to an empty line, then each alternative's path, priority
// and a line per slave. A link must lead into /etc/alternatives, and the
// name there to one of the alternatives.
TEST_F(PkgAdmin, Alternatives) {
  pkg_fake_put(root_, "/usr/bin/.keep", "");
  ASSERT_EQ(0, symlink("usr/bin", (root_ + "/bin").c_str()));
  const std::string editor =
      "auto\n/usr/bin/editor\neditor.1.gz\n/usr/share/man/man1/editor.1.gz\n"
      "\n/bin/nano\n40\n/usr/share/man/man1/nano.1.gz\n/usr/bin/vim.basic\n"
      "30\n/usr/share/man/man1/vim.1.gz\n/usr/bin/ed\n10\n\n\n";
  const struct {
    const char *what;
    std::string name, text;
    std::vector<std::string> paths;
    std::string want;
  } cases[] = {
      {"master, slave and three alternatives",
       "editor",
       editor,
       {"/usr/bin/editor", "/usr/share/man/man1/editor.1.gz",
        "/etc/alternatives/editor", "/etc/alternatives/editor.1.gz",
        "/bin/nano"},
       "/usr/bin/editor>/etc/alternatives/editor "
       "/usr/share/man/man1/editor.1.gz>/etc/alternatives/editor.1.gz "
       "/etc/alternatives/editor>/bin/nano,/usr/bin/vim.basic,/usr/bin/ed "
       "/etc/alternatives/editor.1.gz>/usr/share/man/man1/nano.1.gz,"
       "/usr/share/man/man1/vim.1.gz "
       "/bin/nano>-"},
      {"no slaves, manual mode",
       "pager",
       "manual\n/usr/bin/pager\n\n/bin/less\n77\n/bin/more\n50\n\n",
       {"/usr/bin/pager", "/etc/alternatives/pager"},
       "/usr/bin/pager>/etc/alternatives/pager "
       "/etc/alternatives/pager>/bin/less,/bin/more"},
      {"no final empty line",
       "pager",
       "auto\n/usr/bin/pager\n\n/bin/less\n77",
       {"/etc/alternatives/pager"},
       "/etc/alternatives/pager>/bin/less"},
      {"cut after the master link",
       "x",
       "auto\n/usr/bin/x\n",
       {"/usr/bin/x", "/etc/alternatives/x"},
       "/usr/bin/x>/etc/alternatives/x /etc/alternatives/x>-"},
      {"a master link through a directory link",
       "awk",
       "auto\n/bin/awk\n\n/usr/bin/mawk\n5\n\n",
       {"/usr/bin/awk", "/bin/awk"},
       "/usr/bin/awk>/etc/alternatives/awk /bin/awk>-"},
      {"one line",
       "x",
       "auto\n",
       {"/etc/alternatives/x"},
       "/etc/alternatives/x>-"},
      {"empty", "x", "", {"/etc/alternatives/x"}, "/etc/alternatives/x>-"},
  };
  for (const auto &c : cases) {
    pkg_fake f;
    f.pf_alternatives[c.name] = c.text;
    std::string err;
    pkg_db *db = open(f, &err);
    ASSERT_NE(nullptr, db) << err;
    std::string got;
    for (const std::string &p : c.paths) {
      const std::vector<std::string> *t = pkg_managed_link(db, p);
      std::string list;
      for (size_t i = 0; t != nullptr && i < t->size(); i++)
        list += (i == 0 ? "" : ",") + (*t)[i];
      got += (got.empty() ? "" : " ") + p + ">" + (t == nullptr ? "-" : list);
    }
    EXPECT_EQ(c.want, got) << c.what;
  }
}

// The operations of the log, in the local time dpkg wrote: install,
// upgrade (a reinstall too), remove and purge; every other line, and a
// line whose time does not read, is none.
TEST_F(PkgAdmin, Log) {
  const struct {
    const char *line, *want;  // "action name old>new", or "" for none
  } cases[] = {
      {"2026-01-02 10:00:00 install a:amd64 <none> 1.0", "install a >1.0"},
      {"2026-01-02 10:00:00 upgrade b:all 1.0 1:1.1-2",
       "upgrade b 1.0>1:1.1-2"},
      {"2026-01-02 10:00:00 upgrade d:amd64 1 1", "upgrade d 1>1"},
      {"2026-01-02 10:00:00 remove c:amd64 1.0 <none>", "remove c 1.0>"},
      {"2026-01-02 10:00:00 purge c:amd64 1.0 <none>", "purge c 1.0>"},
      {"2026-01-02 10:00:00 install plain <none> 2", "install plain >2"},
      {"2026-01-02  10:00:00 \tinstall f <none> 2 and more", "install f >2"},
      {"2026-01-02 10:00:00 status installed a:amd64 1.0", ""},
      {"2026-01-02 10:00:00 status half-configured a:amd64 1.0", ""},
      {"2026-01-02 10:00:00 configure a:amd64 1.0 <none>", ""},
      {"2026-01-02 10:00:00 trigproc man-db:amd64 2.9 <none>", ""},
      {"2026-01-02 10:00:00 startup packages configure", ""},
      {"2026-01-02 10:00:00 conffile /etc/a.conf keep", ""},
      {"2026-01-02 10:00:00 upgrade e:amd64 1.0", ""},
      {"2026-01-02 upgrade x 1 2 3", ""},
      {"2026-01-02 25:00:00 upgrade x 1 2", ""},
      {"2026-01-02 10:00:00x upgrade x 1 2", ""},
      {"yesterday 10:00:00 upgrade x 1 2", ""},
      {"2026-01-02T10:00:00 upgrade x 1 2 3", ""},
      {"", ""},
  };
  const int64_t when = pkg_fake_time("2026-01-02 10:00:00");
  for (const auto &c : cases) {
    pkg_fake f;
    f.pf_log = c.line;
    std::string err;
    pkg_db *db = open(f, &err);
    ASSERT_NE(nullptr, db) << err;
    std::vector<pkg_op> ops = pkg_ops(db, INT64_MIN, INT64_MAX);
    std::string got;
    for (const pkg_op &op : ops) {
      got += op.po_action + " " + op.po_name + " " + op.po_old + ">" +
             op.po_new;
      EXPECT_EQ(when, op.po_when) << c.line;
    }
    EXPECT_EQ(c.want, got) << c.line;
  }
}

// The window of pkg_ops: both ends included, the log's order kept.
TEST_F(PkgAdmin, LogWindow) {
  pkg_fake f;
  f.pf_log =
      "2026-01-02 10:00:00 install a <none> 1\n"
      "2026-01-02 10:00:01 upgrade a 1 2\n"
      "2026-01-02 10:00:01 configure a 2 <none>\n"
      "2026-01-02 10:00:02 remove a 2 <none>\n"
      "2026-01-02 10:00:03 purge a 2 <none>\n";
  std::string err;
  pkg_db *db = open(f, &err);
  ASSERT_NE(nullptr, db) << err;
  auto actions = [db](const char *from, const char *to) {
    std::string s;
    for (const pkg_op &op : pkg_ops(db, pkg_fake_time(from), pkg_fake_time(to)))
      s += (s.empty() ? "" : " ") + op.po_action;
    return s;
  };
  EXPECT_EQ("upgrade remove",
            actions("2026-01-02 10:00:01", "2026-01-02 10:00:02"));
  EXPECT_EQ("install upgrade remove purge",
            actions("2026-01-02 10:00:00", "2026-01-02 10:00:03"));
  EXPECT_EQ("", actions("2026-01-02 10:00:04", "2026-01-03 00:00:00"));
  EXPECT_EQ("", actions("2026-01-02 10:00:02", "2026-01-02 10:00:01"));
}
