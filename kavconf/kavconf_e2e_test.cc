#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testutil/hostile.h"
#include "testutil/testutil.h"
#include "testutil/unesc.h"

namespace {

const char usage_text[] = "usage: kavconf [-a | -d dir] [-c file]\n";

class Kavconf : public TmpDirTest {
 protected:
  // Writes the policy and runs kavconf -c on it with the other arguments.
  prog_result run(const std::string &policy, std::vector<std::string> args)
  {
    write_file(path("p.conf"), policy);
    std::vector<std::string> argv = {KAVCONF_PATH, "-c", path("p.conf")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_prog(argv, dir_);
  }
};

// Lists at /, /usr/local (POST, inheriting from the root) and /var (NO).
const char policy[] =
    "# a test policy\n"
    "@NO:/\n"
    "+N:S\n"
    "name:tmp\n"
    "+mucg:I\n"
    "name:*.conf\n"
    "uid:0-99\n"
    "type:dr\n"
    "@POST:/usr/local\n"
    "+C:I\n"
    "type:dr\n"
    "+imugc\n"
    "namere:^lib\n"
    "gid:7\n"
    "uid:1000-\n"
    "uid:-5\n"
    "uid:4294967294\n"
    "@NO:/var\n"
    "+\n"
    "type:fcbls\n";

const char root_block[] =
    "@/;\n"
    "+N         S-\n"
    "\tname:tmp;\n"
    "+--ugm---c -I\n"
    "\tname:*.conf;\n"
    "\tuid:0-99\n"
    "\ttype:--d-r--\n"
    "\n";

const char local_block[] =
    "@/usr/local;\n"
    "+ilugm-f-- -I\n"
    "\ttype:--d-r--\n"
    "+i-ugm---c --\n"
    "\tnamere:^lib;\n"
    "\tuid:1000-\n"
    "\tuid:-5\n"
    "\tuid:-2\n"
    "\tgid:7\n"
    "+--ugm---c -I\n"
    "\tname:*.conf;\n"
    "\tuid:0-99\n"
    "\ttype:--d-r--\n"
    "\n";

const char var_block[] =
    "@/var;\n"
    "+--------- --\n"
    "\ttype:fc-b-ls\n"
    "\n";

}  // namespace

TEST_F(Kavconf, FullDump) {
  const std::string want = std::string(root_block) + local_block + var_block;
  for (const auto &args :
       std::vector<std::vector<std::string>>{{}, {"-a"}, {"-d", "/x", "-a"}}) {
    prog_result r = run(policy, args);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(want, r.out);
    EXPECT_EQ("", r.err);
  }
}

TEST_F(Kavconf, OneDirectory) {
  // The directory's own list, or the inheritable entries of the nearest
  // list above it.
  const std::string root_inh =
      "+--ugm---c -I\n\tname:*.conf;\n\tuid:0-99\n\ttype:--d-r--\n\n";
  const std::string local_inh =
      "+ilugm-f-- -I\n\ttype:--d-r--\n"
      "+--ugm---c -I\n\tname:*.conf;\n\tuid:0-99\n\ttype:--d-r--\n\n";
  const struct {
    std::vector<std::string> args;
    std::string want;
  } cases[] = {
      {{"-d", "/"}, std::string(root_block).substr(4)},
      {{"-d", "/usr/local"}, std::string(local_block).substr(13)},
      {{"-d", "/usr/local/"}, std::string(local_block).substr(13)},
      {{"-a", "-d", "/usr/local"}, std::string(local_block).substr(13)},
      {{"-d", "/usr/local/share/doc"}, local_inh},
      {{"-d", "/usr"}, root_inh},
      {{"-d", "/etc"}, root_inh},
      {{"-d", "/var/db"}, "\n"},
  };
  for (const auto &c : cases) {
    prog_result r = run(policy, c.args);
    EXPECT_EQ(0, r.status) << c.args.back();
    EXPECT_EQ(c.want, r.out) << c.args.back();
    EXPECT_EQ("", r.err) << c.args.back();
  }
}

TEST_F(Kavconf, EmptyPolicy) {
  for (const char *text : {"", "# nothing\n\n"}) {
    prog_result r = run(text, {});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("@/;\n\n", r.out);
    r = run(text, {"-d", "/usr/bin"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("\n", r.out);
  }
}

TEST_F(Kavconf, FaultyPolicies) {
  const struct {
    std::string text;
    std::string err;
  } cases[] = {
      {"+F\n", "line 1: '@' (node) is expected\n"},
      {"# one\n\n@NO:/\n+F\n\tname:x\nnamere:(\n",
       "line 6: invalid regular expression\n"},
      {"@NO:/\n+F\r\n", "line 2: bad mask\n"},
      {"@NO:/\n" + std::string(2000, '#') + "\n", "line 2: line too long\n"},
  };
  for (const auto &c : cases) {
    prog_result r = run(c.text, {});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(c.err, r.err);
  }
  std::string missing = path("missing.conf");
  prog_result r = run_prog({KAVCONF_PATH, "-c", missing}, dir_);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(missing + ": " + strerror(ENOENT) + "\n", r.err);
  // A policy file's name cannot add or break a line of the message: it is
  // one line, and its name reads back as the bytes given.
  const std::string tail = std::string(": ") + strerror(ENOENT) + "\n";
  for (const std::string &name : hostile_names()) {
    std::string file = path(name), back;
    r = run_prog({KAVCONF_PATH, "-c", file}, dir_);
    EXPECT_EQ(1, r.status) << name;
    ASSERT_GT(r.err.size(), tail.size()) << name;
    size_t cut = r.err.size() - tail.size();
    EXPECT_EQ(tail, r.err.substr(cut)) << name;
    EXPECT_TRUE(unesc_name(r.err.substr(0, cut), &back)) << r.err;
    EXPECT_EQ(file, back);
  }
}

// A dump that cannot be written ends with the one message and status 1.
TEST_F(Kavconf, WriteFailureOnStdout) {
  if (access("/dev/full", W_OK) != 0)
    GTEST_SKIP() << "no /dev/full";
  write_file(path("p.conf"), policy);
  expect_full_stdout({KAVCONF_PATH, "-c", path("p.conf")}, dir_, true);
  expect_full_stdout({KAVCONF_PATH, "-c", path("p.conf"), "-d", "/usr/local"},
                     dir_, true);
}

TEST_F(Kavconf, Usage) {
  write_file(path("p.conf"), "");
  const std::vector<std::vector<std::string>> bad = {
      {"p.conf"}, {"-c", "p.conf", "x"}, {"p.conf", "-a"}, {"-d"}, {"-x"},
      {"-c"},
  };
  for (const auto &args : bad) {
    std::vector<std::string> argv = {KAVCONF_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    prog_result r = run_prog(argv, dir_);
    EXPECT_EQ(1, r.status) << args[0];
    EXPECT_EQ("", r.out) << args[0];
    // getopt may speak first; the usage text always ends the output.
    ASSERT_GE(r.err.size(), strlen(usage_text)) << args[0];
    EXPECT_EQ(usage_text, r.err.substr(r.err.size() - strlen(usage_text)))
        << args[0];
    if (args[0][0] != '-' || args.size() > 1) {
      EXPECT_EQ(usage_text, r.err) << args[0];
    }
  }
}

// The sample policy shipped in etc/ must stay valid.
TEST(KavconfSample, Parses) {
  // Not from __FILE__: a build may map the source directory away (the
  // package's -ffile-prefix-map does).
  std::string sample = KAV_SOURCE_DIR "/etc/kavrel.conf.sample";
  prog_result r = run_prog({KAVCONF_PATH, "-c", sample});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ(0u, r.out.find("@/;\n+N         S-\n\tname:proc;\n")) << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find("@/usr/local;\n+ilugm-f-- S-\n\tname:src;\n"));
}
