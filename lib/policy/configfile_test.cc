#include "policy/configfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "testutil/testutil.h"

namespace {

class ConfigFile : public TmpDirTest {
 protected:
  void TearDown() override
  {
    pclt_free(t_);
    TmpDirTest::TearDown();
  }

  // Parses text as a policy file; the tree stays for the checks.
  int parse(const std::string &text)
  {
    write_file(path("p.conf"), text);
    return parse_file(path("p.conf"));
  }
  int parse_file(const std::string &file)
  {
    pclt_free(t_);
    t_ = pclt_init();
    return configfile_parse(file.c_str(), t_);
  }

  // The list at path after a successful parse, or null.
  const pcl *list(const char *p)
  {
    ft_node *n = ft_lookup(t_, p, nullptr);
    return n != nullptr ? static_cast<const pcl *>(n->ftn_data) : nullptr;
  }

  // The only entry of the root's list.
  const pclent *entry(const std::string &text)
  {
    if (parse(text) != 0) {
      ADD_FAILURE() << "no parse: " << configfile_last_error()->ce_text << "\n"
                    << text;
      return nullptr;
    }
    const pcl *l = list("/");
    if (l == nullptr || l->pl_count != 1) {
      ADD_FAILURE() << "not one entry:\n" << text;
      return nullptr;
    }
    return &l->pl_ents[0];
  }

  pclt *t_ = nullptr;
};

}  // namespace

TEST_F(ConfigFile, SyntaxErrors) {
  const std::string long_line(1999, 'x');
  const struct {
    std::string text;
    int line;
    const char *msg;
  } cases[] = {
      {"+F\n", 1, "'@' (node) is expected"},
      {"# a comment\n\n; another\n\tindented\n name:x\nname:x\n", 6,
       "'@' (node) is expected"},
      {"@pre:/x\n", 1, "bad inheritance"},
      {"#\n@ALL:/x\n", 2, "bad inheritance"},
      {"@PRE /x\n", 1, "bad inheritance"},
      {"@NO:x\n", 1, "invalid path"},
      {"@NO: /x\n", 1, "invalid path"},
      {"@NO:/" + std::string(1023, 'a') + "\n", 1, "invalid path"},
      {"@NO:/\nname:x\n", 2, "'+' (entry) is expected"},
      {"@NO:/\n+F\n@NO:/a\n\n-F\n", 5, "'+' (entry) is expected"},
      {"@NO:/\n+Fz\n", 2, "bad mask"},
      {"@NO:/\n+F I\n", 2, "bad mask"},
      {"@NO:/\n+F\r\n", 2, "bad mask"},
      {"@NO:/\n+F:X\n", 2, "bad options"},
      {"@NO:/\n+F:S:I\n", 2, "bad options"},
      {"@NO:/\n+F\nName:x\n", 3, "bad keyword"},
      {"@NO:/\n+F\nname :x\n", 3, "bad keyword"},
      {"@NO:/\n+F\nnames:x\n", 3, "bad keyword"},
      {"@NO:/\n+F\n#\n\nnamere:(\n", 5, "invalid regular expression"},
      {"@NO:/\n+F\ngid:5-6-7\n", 3, "bad gid"},
      {"@NO:/\n+F\ngid:5 6\n", 3, "bad gid"},
      {"@NO:/\n+F\ngid:\n", 3, "bad gid"},
      {"@NO:/\n+F\ngid:x\n", 3, "bad gid"},
      {"@NO:/\n+F\nuid:--5\n", 3, "bad uid"},
      {"@NO:/\n+F\nuid:5x-\n", 3, "bad uid"},
      {"@NO:/\n+F\ntype:dx\n", 3, "bad type"},
      // Long lines are refused whole, comments included.
      {"@NO:/\n#" + long_line + "\n", 2, "line too long"},
      {"@NO:/\n+F\nname:" + long_line + "\n", 3, "line too long"},
      {"@NO:/\n+F\nname:" + long_line, 3, "line too long"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(-1, parse(c.text)) << c.text;
    const configfile_error *err = configfile_last_error();
    EXPECT_EQ(CONFIGFILE_E_SYNTAX, err->ce_kind) << c.text;
    EXPECT_EQ(c.line, err->ce_line) << c.text;
    EXPECT_STREQ(c.msg, err->ce_text) << c.text;
    testing::internal::CaptureStderr();
    configfile_perror();
    EXPECT_EQ("line " + std::to_string(c.line) + ": " + c.msg + "\n",
              testing::internal::GetCapturedStderr());
  }
}

TEST_F(ConfigFile, LongestAcceptedLines) {
  // 1998 characters before the newline fit, and a 1023-byte path.
  std::string glob(1998 - 5, 'g');
  std::string dir = "/" + std::string(1022, 'd');
  ASSERT_EQ(0, parse("@NO:" + dir + "\n+F\nname:" + glob + "\n"))
      << configfile_last_error()->ce_text;
  const pcl *l = list(dir.c_str());
  ASSERT_NE(nullptr, l);
  ASSERT_EQ(1, l->pl_count);
  EXPECT_EQ(glob, l->pl_ents[0].pe_names[0]);
  // The same without a final newline.
  ASSERT_EQ(0, parse("@NO:/\n+F\nname:" + glob));
  EXPECT_EQ(glob, list("/")->pl_ents[0].pe_names[0]);
}

// A system error prints the errno of the failure, whatever errno holds by
// the time the driver prints the record.
TEST_F(ConfigFile, SystemErrors) {
  std::string full = "@NO:/\n";  // a 256th entry in one list
  for (int i = 0; i < 256; i++)
    full += "+F\n";
  // 200 inheritable entries cannot all go in front of 100 own ones.
  std::string merge = "@NO:/\n";
  for (int i = 0; i < 200; i++)
    merge += "+F:I\n";
  merge += "@PRE:/x\n";
  for (int i = 0; i < 100; i++)
    merge += "+F\n";
  const struct {
    std::string file;  // parsed as it is when text is empty
    std::string text;
    std::string what;
    int err;
  } cases[] = {
      {path("nope.conf"), "", path("nope.conf"), ENOENT},
      {"", full, "pcl_add()", ENOMEM},
      {"", merge, "pclt_merge()", ENOMEM},
      // A directory is not a policy file: reading it fails.
      {dir_, "", "configfile_readline()", EISDIR},
  };
  for (const auto &c : cases) {
    errno = 0;
    EXPECT_EQ(-1, c.text.empty() ? parse_file(c.file) : parse(c.text))
        << c.what;
    EXPECT_EQ(c.err, errno) << c.what;
    EXPECT_EQ(CONFIGFILE_E_SYSTEM, configfile_last_error()->ce_kind) << c.what;
    EXPECT_EQ(c.what, configfile_last_error()->ce_text);
    testing::internal::CaptureStderr();
    errno = EBADF;
    configfile_perror();
    EXPECT_EQ(c.what + ": " + strerror(c.err) + "\n",
              testing::internal::GetCapturedStderr());
  }
}

TEST_F(ConfigFile, EntryHeads) {
  const struct {
    const char *line;
    uint16_t mask;
    uint8_t flags;
  } cases[] = {
      {"+ilugm", 0x01f, PCLENT_RECORD},
      {"+tsfc", 0x1e0, PCLENT_RECORD},
      {"+C", 0x09f, PCLENT_RECORD},
      {"+F", 0x1ff, PCLENT_RECORD},
      {"+ i\tc ", 0x101, PCLENT_RECORD},
      {"+", 0, PCLENT_RECORD},
      {"+F: S I", 0x1ff, PCLENT_RECORD | PCLENT_PRUNE | PCLENT_INHERIT},
      {"+F:\tI", 0x1ff, PCLENT_RECORD | PCLENT_INHERIT},
      {"+N:S", 0, PCLENT_PRUNE},
      {"+cN:SI", 0x100, PCLENT_PRUNE | PCLENT_INHERIT},
      {"+F:", 0x1ff, PCLENT_RECORD},
  };
  for (const auto &c : cases) {
    const pclent *e = entry(std::string("@NO:/\n") + c.line + "\n");
    ASSERT_NE(nullptr, e) << c.line;
    EXPECT_EQ(c.mask, e->pe_mask) << c.line;
    EXPECT_EQ(c.flags, e->pe_flags) << c.line;
  }
}

TEST_F(ConfigFile, Ranges) {
  const struct {
    const char *value;
    uint8_t kind;
    uint32_t low, high;
  } cases[] = {
      {"5", PCLENT_R_EXACT, 5, 0},
      {"5-", PCLENT_R_FROM, 5, 0},
      {"-5", PCLENT_R_UPTO, 0, 5},
      {"-", PCLENT_R_UPTO, 0, 0},
      {"5-9", PCLENT_R_BETWEEN, 5, 9},
      {" 5 ", PCLENT_R_EXACT, 5, 0},
      {"x5-y", PCLENT_R_FROM, 5, 0},
      {"9-5", PCLENT_R_BETWEEN, 9, 5},
      {"4294967295", PCLENT_R_EXACT, 4294967295u, 0},
      {"4294967296", PCLENT_R_EXACT, 0, 0},  // wraps
      {"1000-\r", PCLENT_R_FROM, 1000, 0},
  };
  for (const auto &c : cases) {
    for (const char *kw : {"gid", "uid"}) {
      const pclent *e =
          entry(std::string("@NO:/\n+F\n") + kw + ":" + c.value + "\n");
      ASSERT_NE(nullptr, e) << kw << c.value;
      bool gid = kw[0] == 'g';
      ASSERT_EQ(1, gid ? e->pe_ngids : e->pe_nuids) << kw << c.value;
      EXPECT_EQ(0, gid ? e->pe_nuids : e->pe_ngids) << kw << c.value;
      const pclent_range &r = gid ? e->pe_gids[0] : e->pe_uids[0];
      EXPECT_EQ(c.kind, r.pr_kind) << kw << ":" << c.value;
      EXPECT_EQ(c.low, r.pr_low) << kw << ":" << c.value;
      EXPECT_EQ(c.high, r.pr_high) << kw << ":" << c.value;
    }
  }
}

TEST_F(ConfigFile, Types) {
  const struct {
    const char *lines;
    uint8_t want;
  } cases[] = {
      {"type:\n", 0},
      {"type:d r\n", PCL_T_DIR | PCL_T_REG},
      {"type:fcdbrls\n", 0x7f},
      {"type:\tl \n", PCL_T_LNK},
      {"type:d\ntype:s\n", PCL_T_SOCK},  // a later type line replaces
  };
  for (const auto &c : cases) {
    const pclent *e = entry(std::string("@NO:/\n+F\n") + c.lines);
    ASSERT_NE(nullptr, e) << c.lines;
    EXPECT_EQ(c.want, e->pe_types) << c.lines;
  }
}

TEST_F(ConfigFile, KeywordValues) {
  const pclent *e = entry(
      "@NO:/\n+F\nname: x\nname:a:b\n\tname:skipped\n name:skipped\n"
      "namere:^lib.*\\.so$\nname:*.c\r\ngid:1\ngid:2-\nuid:3\nname:last");
  ASSERT_NE(nullptr, e);
  ASSERT_EQ(4, e->pe_nnames);
  EXPECT_STREQ(" x", e->pe_names[0]);
  EXPECT_STREQ("a:b", e->pe_names[1]);
  EXPECT_STREQ("*.c\r", e->pe_names[2]);  // the carriage return is kept
  EXPECT_STREQ("last", e->pe_names[3]);   // no final newline
  ASSERT_EQ(1, e->pe_nres);
  EXPECT_STREQ("^lib.*\\.so$", e->pe_resrc[0]);
  EXPECT_EQ(0, regexec(&e->pe_res[0], "libc.so", 0, nullptr, 0));
  EXPECT_EQ(2, e->pe_ngids);
  EXPECT_EQ(1, e->pe_nuids);
}

TEST_F(ConfigFile, Structure) {
  // An empty file and a file of comments give the root an empty list.
  for (const char *text : {"", "# only\n\n;comments\n  @NO:/x\n"}) {
    ASSERT_EQ(0, parse(text)) << text;
    const pcl *root = list("/");
    ASSERT_NE(nullptr, root) << text;
    EXPECT_EQ(0, root->pl_count);
    EXPECT_EQ(nullptr, t_->ftt_root->ftn_child);
  }

  // The example policy of the manual page.
  ASSERT_EQ(0, parse("@NO:/\n+N:S\nname:tmp\n+F\n# between\n@POST:/usr/local\n"
                     "+C:I\ntype:dr\n+imugc\nnamere:^lib\nuid:1000-\n"));
  const pcl *root = list("/");
  ASSERT_EQ(2, root->pl_count);
  EXPECT_EQ(PCLENT_PRUNE, root->pl_ents[0].pe_flags);
  EXPECT_STREQ("tmp", root->pl_ents[0].pe_names[0]);
  EXPECT_EQ(0x1ff, root->pl_ents[1].pe_mask);
  EXPECT_EQ(PCL_INH_NO, root->pl_kind);
  const pcl *local = list("/usr/local");
  ASSERT_EQ(2, local->pl_count);
  EXPECT_EQ(PCL_INH_POST, local->pl_kind);
  EXPECT_EQ(0x09f, local->pl_ents[0].pe_mask);
  EXPECT_EQ(PCL_T_DIR | PCL_T_REG, local->pl_ents[0].pe_types);
  EXPECT_EQ(0x11b, local->pl_ents[1].pe_mask);
  EXPECT_EQ(nullptr, list("/usr"));

  // Same path twice: the second list wins. A node with no entries is fine.
  ASSERT_EQ(0, parse("@NO:/a\n+F\n@NO:/a/\n+c\n+i\n@NO:/b\n"));
  ASSERT_EQ(2, list("/a")->pl_count);
  EXPECT_EQ(0x100, list("/a")->pl_ents[0].pe_mask);
  EXPECT_EQ(0, list("/b")->pl_count);
  EXPECT_EQ(0, list("/")->pl_count);

  // A root list of its own is kept and receives nothing; the merge ran.
  ASSERT_EQ(0, parse("@PRE:/\n+F:I\n@PRE:/x\n+c\n"));
  EXPECT_EQ(1, list("/")->pl_count);
  ASSERT_EQ(2, list("/x")->pl_count);
  EXPECT_EQ(0x1ff, list("/x")->pl_ents[0].pe_mask);
  EXPECT_EQ(0x100, list("/x")->pl_ents[1].pe_mask);
}
