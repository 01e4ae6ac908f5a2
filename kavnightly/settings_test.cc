#include "kavnightly/settings.h"

#include <string>
#include <utility>
#include <vector>

#include "testutil/testutil.h"

namespace {

// The settings as one line of text per field, so that a row can say what
// it expects and a field set by mistake shows.
std::string
dump(const nt_settings &s)
{
  std::string d =
      "policy=" + s.ns_policy + "\ndbdir=" + s.ns_dbdir +
      "\nkeep=" + s.ns_keep_text + "\nlockwait=" + s.ns_lockwait_text +
      "\nsignkey=" + s.ns_signkey + "\nsigners=" + s.ns_signers +
      "\nprincipal=" + s.ns_principal + "\nbindir=" + s.ns_bindir +
      "\nexplain=" + s.ns_explain + "\npkgroot=" + s.ns_pkgroot +
      "\narchives=" + s.ns_archives + "\nfetch=" + s.ns_fetch_text + "\n";
  for (const auto &e : s.ns_exports)
    d += "export " + e.first + "=" + e.second + "\n";
  return d;
}

// The defaults, with one field changed in the dump.
std::string
with(const std::string &field, const std::string &value)
{
  std::string d = dump(nt_settings());
  size_t at = d.find("\n" + field + "=");
  if (field == "policy")
    at = 0;
  else
    at++;
  size_t end = d.find('\n', at);
  return d.substr(0, at) + field + "=" + value + d.substr(end);
}

TEST(SettingsParse, GoodLines) {
  const struct {
    const char *text;
    std::string want;
  } cases[] = {
      {"", dump(nt_settings())},
      {"\n\n  \t\n# a comment\n   # another\n", dump(nt_settings())},
      {"KAV_KEEP=7\n", with("keep", "7")},
      {"KAV_KEEP=007", with("keep", "007")},
      {"  KAV_POLICY=/etc/kavrel/kavrel.conf   # the policy\n",
       with("policy", "/etc/kavrel/kavrel.conf")},
      {"KAV_PRINCIPAL=\n", with("principal", "")},
      {"KAV_PRINCIPAL='' # none\n", with("principal", "")},
      {"KAV_PRINCIPAL='root@host; $x `y` \"z\"'\n",
       with("principal", "root@host; $x `y` \"z\"")},
      {"KAV_DBDIR=\"/var/lib/kav rel\"\n", with("dbdir", "/var/lib/kav rel")},
      {"KAV_DBDIR=\"it's\"\n", with("dbdir", "it's")},
      {"KAV_PRINCIPAL=a=b,c+d%e@f:g-h.i/j!k^l\n",
       with("principal", "a=b,c+d%e@f:g-h.i/j!k^l")},
      {"KAV_BINDIR=/opt/k\xc3\xa4v\n", with("bindir", "/opt/k\xc3\xa4v")},
      {"export SSH_AUTH_SOCK=/run/kavrel-agent/socket\n",
       dump(nt_settings()) + "export SSH_AUTH_SOCK=/run/kavrel-agent/socket\n"},
      {"export\tHTTP_PROXY='http://proxy:3128'\nexport no_proxy=localhost\n",
       dump(nt_settings()) +
           "export HTTP_PROXY=http://proxy:3128\nexport no_proxy=localhost\n"},
      {"KAV_FETCH=no", with("fetch", "no")},
  };
  for (const auto &c : cases) {
    nt_settings s;
    std::string err;
    EXPECT_TRUE(nt_settings_parse("f", c.text, &s, &err))
        << "text \"" << c.text << "\": " << err;
    EXPECT_EQ(c.want, dump(s)) << "text \"" << c.text << "\"";
  }
}

// Every setting the sample shows, uncommented, reads as it says.
TEST(SettingsParse, Sample) {
  std::string text = read_file(KAV_SOURCE_DIR "/etc/kavnightly.conf.sample");
  std::string lines;
  int n = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    if (line.compare(0, 4, "#KAV") == 0 || line.compare(0, 7, "#export") == 0) {
      lines += line.substr(1) + "\n";
      n++;
    }
  }
  EXPECT_EQ(13, n) << "the sample's settings";
  nt_settings s;
  std::string err;
  ASSERT_TRUE(nt_settings_parse("sample", lines, &s, &err)) << err;
  EXPECT_EQ("/usr/local/etc/kavrel.conf", s.ns_policy);
  EXPECT_EQ("/root/.ssh/kavrel_sign", s.ns_signkey);
  EXPECT_EQ("/usr/local/sbin", s.ns_bindir);
  ASSERT_EQ(1u, s.ns_exports.size());
  EXPECT_EQ("SSH_AUTH_SOCK", s.ns_exports[0].first);
  ASSERT_TRUE(nt_settings_check(&s, &err)) << err;
  EXPECT_EQ(30, s.ns_keep);
  EXPECT_EQ(60, s.ns_lockwait);
  EXPECT_TRUE(s.ns_fetch);
  // And the sample as it ships, every line a comment or blank.
  nt_settings d;
  EXPECT_TRUE(nt_settings_parse("sample", text, &d, &err)) << err;
  EXPECT_EQ(dump(nt_settings()), dump(d));
}

TEST(SettingsParse, HostileLines) {
  const std::string unquoted =
      " in a value, which only a shell would make sense of: the settings "
      "are read as NAME=VALUE, never run; quote a value that holds it";
  const std::string not_line =
      "want NAME=VALUE (no blank around the =), export NAME=VALUE, a "
      "comment or a blank line";
  const std::string after =
      " after the value: one setting a line, and a comment only after a "
      "blank";
  const std::string loader =
      " may not be exported: it would change how the programs kavnightly "
      "runs are loaded or start";
  const struct {
    std::string text;
    std::string err;
  } cases[] = {
      {"KAV_KEEP=$(reboot)\n", "f:1: KAV_KEEP: $" + unquoted},
      {"KAV_KEEP=`reboot`\n", "f:1: KAV_KEEP: `" + unquoted},
      {"KAV_KEEP=3; rm -rf /\n", "f:1: KAV_KEEP: ;" + unquoted},
      {"KAV_KEEP=3 ; rm -rf /\n", "f:1: KAV_KEEP: \"; rm -rf /\"" + after},
      {"KAV_POLICY=/x && y\n", "f:1: KAV_POLICY: \"&& y\"" + after},
      {"KAV_DBDIR=\t/bin/reboot\n", "f:1: KAV_DBDIR: \"/bin/reboot\"" + after},
      {"KAV_POLICY=/x|y\n", "f:1: KAV_POLICY: |" + unquoted},
      {"KAV_POLICY=/x>y\n", "f:1: KAV_POLICY: >" + unquoted},
      {"KAV_POLICY=/x/*\n", "f:1: KAV_POLICY: *" + unquoted},
      {"KAV_POLICY=~/x\n", "f:1: KAV_POLICY: ~" + unquoted},
      {"KAV_POLICY=/x\\\n", "f:1: KAV_POLICY: \\" + unquoted},
      {"KAV_POLICY=/x{a,b}\n", "f:1: KAV_POLICY: {" + unquoted},
      {"KAV_POLICY=it's\n", "f:1: KAV_POLICY: '" + unquoted},
      {"KAV_POLICY=/x#y\n",
       "f:1: KAV_POLICY: # in a value; put a blank before a comment, or "
       "quote the value"},
      {"KAV_POLICY='/x\n", "f:1: KAV_POLICY: a ' without the ' that closes it"},
      {"KAV_POLICY=\"/x\n",
       "f:1: KAV_POLICY: a \" without the \" that closes it"},
      {"KAV_POLICY='/x\n'\n",
       "f:1: KAV_POLICY: a ' without the ' that closes it"},
      {"KAV_POLICY=\"$HOME/x\"\n",
       "f:1: KAV_POLICY: $ inside double quotes, which only a shell would "
       "make sense of; put the value in single quotes"},
      {"KAV_POLICY=\"`id`\"\n",
       "f:1: KAV_POLICY: ` inside double quotes, which only a shell would "
       "make sense of; put the value in single quotes"},
      {"KAV_POLICY='a'b\n", "f:1: KAV_POLICY: \"b\"" + after},
      {"KAV_POLICY='a'#b\n", "f:1: KAV_POLICY: \"#b\"" + after},
      {"KAV_POLICY=a 'b'\n", "f:1: KAV_POLICY: \"'b'\"" + after},
      {"KAV_KEEP = 3\n", "f:1: " + not_line},
      {"KAV_KEEP\n", "f:1: " + not_line},
      {"reboot\n", "f:1: " + not_line},
      {". /etc/other.conf\n", "f:1: " + not_line},
      {"set -x\n", "f:1: " + not_line},
      {"3KAV=1\n", "f:1: " + not_line},
      {"export KAV_X\n",
       "f:1: want \"export NAME=VALUE\", with no blank around the ="},
      {"\n# ok\nKAV_KEEP=3\nKAV_FOO=1\n",
       "f:4: KAV_FOO: no such setting (see kavnightly(8))"},
      {"kav_keep=3\n",
       "f:1: kav_keep: not a setting of kavnightly; to pass it to the "
       "programs it runs, export it"},
      {"IFS=x\n",
       "f:1: IFS: not a setting of kavnightly; to pass it to the programs it "
       "runs, export it"},
      {"KAV_KEEP=3\nKAV_KEEP=4\n",
       "f:2: KAV_KEEP is set again; line 1 set it first"},
      {"export A=1\nexport A=2\n", "f:2: A is set again; line 1 set it first"},
      {"export KAV_KEEP=3\n",
       "f:1: KAV_KEEP is a setting, not for the environment: drop \"export\""},
      {"export PATH=/tmp\n",
       "f:1: PATH may not be exported: kavnightly sets it itself"},
      {"export LC_ALL=de_DE\n",
       "f:1: LC_ALL may not be exported: kavnightly sets it itself"},
      {"export LD_PRELOAD=/tmp/x.so\n", "f:1: LD_PRELOAD" + loader},
      {"export LD_LIBRARY_PATH=/tmp\n", "f:1: LD_LIBRARY_PATH" + loader},
      {"export BASH_ENV=/tmp/x\n", "f:1: BASH_ENV" + loader},
      {"export GLIBC_TUNABLES=x\n", "f:1: GLIBC_TUNABLES" + loader},
      {"export A=1 B=2\n", "f:1: A: \"B=2\"" + after},
      {std::string("KAV_KEEP=3\0\n", 12), "f:1: a NUL byte: not a text file"},
      {"KAV_KEEP=3\r\n",
       "f:1: a carriage return: the file has DOS line ends; write it with "
       "Unix ones"},
      {"# x\r\n",
       "f:1: a carriage return: the file has DOS line ends; write it with "
       "Unix ones"},
      {"KAV_POLICY='a\x1b[2Jb'\n", "f:1: a control character, 0x1b"},
      {"KAV_POLICY=/x\x7f\n", "f:1: a control character, 0x7f"},
      {"# " + std::string(NT_LINE_MAX, 'x') + "\n",
       "f:1: a line longer than 4096 bytes"},
  };
  for (const auto &c : cases) {
    nt_settings s;
    std::string err;
    EXPECT_FALSE(nt_settings_parse("f", c.text, &s, &err))
        << "text \"" << c.text << "\"";
    EXPECT_EQ(c.err, err) << "text \"" << c.text << "\"";
  }
  // The longest line accepted.
  nt_settings s;
  std::string err;
  EXPECT_TRUE(nt_settings_parse("f", "#" + std::string(NT_LINE_MAX - 1, 'x'),
                                &s, &err))
      << err;
}

TEST(SettingsCheck, Values) {
  const struct {
    const char *text;
    const char *err;  // "" when it passes
    int keep = 0, lockwait = 0;
    bool fetch = false;
  } cases[] = {
      {"", "", 30, 60, true},
      {"KAV_KEEP=007\nKAV_LOCKWAIT=010\nKAV_FETCH=no\n", "", 7, 10, false},
      {"KAV_KEEP=1\nKAV_LOCKWAIT=0\n", "", 1, 0, true},
      {"KAV_KEEP=2147483647\n", "", 2147483647, 60, true},
      {"KAV_KEEP=00000000000000000000000000012\n", "", 12, 60, true},
      {"KAV_KEEP=x\n", "KAV_KEEP=x: want a number of snapshots"},
      {"KAV_KEEP=\n", "KAV_KEEP=: want a number of snapshots"},
      {"KAV_KEEP=-1\n", "KAV_KEEP=-1: want a number of snapshots"},
      {"KAV_KEEP=' 3'\n", "KAV_KEEP= 3: want a number of snapshots"},
      {"KAV_KEEP=0\n", "KAV_KEEP=0: want at least one snapshot"},
      {"KAV_KEEP=000\n", "KAV_KEEP=0: want at least one snapshot"},
      {"KAV_KEEP=2147483648\n",
       "KAV_KEEP=2147483648: want a number of snapshots up to 2147483647"},
      {"KAV_KEEP=99999999999999999999999\n",
       "KAV_KEEP=99999999999999999999999: want a number of snapshots up to "
       "2147483647"},
      {"KAV_LOCKWAIT=1m\n", "KAV_LOCKWAIT=1m: want a number of seconds"},
      {"KAV_LOCKWAIT=\n", "KAV_LOCKWAIT=: want a number of seconds"},
      {"KAV_LOCKWAIT=4294967296\n",
       "KAV_LOCKWAIT=4294967296: want a number of seconds up to 2147483647"},
      {"KAV_SIGNKEY=/k\n",
       "KAV_SIGNKEY is set but KAV_SIGNERS is not: signatures could not be "
       "checked"},
      {"KAV_SIGNERS=/s\n",
       "KAV_SIGNERS is set but KAV_SIGNKEY is not: snapshots would not be "
       "signed"},
      {"KAV_SIGNKEY=/k\nKAV_SIGNERS=/s\n", "", 30, 60, true},
      {"KAV_PKGROOT=/srv/root\nKAV_ARCHIVES=/srv/mirror\n", "", 30, 60, true},
      {"KAV_PKGROOT=srv\n", "KAV_PKGROOT=srv: want an absolute path"},
      {"KAV_ARCHIVES=./mirror\n",
       "KAV_ARCHIVES=./mirror: want an absolute path"},
      {"KAV_FETCH=true\n", "KAV_FETCH=true: want yes or no"},
      {"KAV_FETCH=\n", "KAV_FETCH=: want yes or no"},
      {"KAV_EXPLAIN=yes\n", "", 30, 60, true},
      {"KAV_EXPLAIN=no\n", "", 30, 60, true},
      {"KAV_EXPLAIN=maybe\n", "KAV_EXPLAIN=maybe: want auto, yes or no"},
      {"KAV_EXPLAIN=\n", "KAV_EXPLAIN=: want auto, yes or no"},
      // The first that fails, in the shell's order.
      {"KAV_FETCH=x\nKAV_KEEP=x\n", "KAV_KEEP=x: want a number of snapshots"},
  };
  for (const auto &c : cases) {
    nt_settings s;
    std::string err;
    ASSERT_TRUE(nt_settings_parse("f", c.text, &s, &err)) << err;
    s.ns_keep = s.ns_lockwait = -5;
    s.ns_fetch = !c.fetch;
    err = "junk";
    bool ok = nt_settings_check(&s, &err);
    if (*c.err == '\0') {
      EXPECT_TRUE(ok) << "text \"" << c.text << "\": " << err;
      EXPECT_EQ(c.keep, s.ns_keep) << "text \"" << c.text << "\"";
      EXPECT_EQ(c.lockwait, s.ns_lockwait) << "text \"" << c.text << "\"";
      EXPECT_EQ(c.fetch, s.ns_fetch) << "text \"" << c.text << "\"";
    } else {
      EXPECT_FALSE(ok) << "text \"" << c.text << "\"";
      EXPECT_EQ(c.err, err) << "text \"" << c.text << "\"";
    }
  }
}

}  // namespace
