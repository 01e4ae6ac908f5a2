#include "store/sign.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "proc/proc.h"
#include "testutil/testutil.h"

namespace {

// ssh-keygen where PATH has it, or "".
std::string
find_keygen()
{
  const char *path = getenv("PATH");
  std::string p = path != nullptr ? path : "/usr/bin:/bin";
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find(':', i);
    if (j == std::string::npos)
      j = p.size();
    std::string f = p.substr(i, j - i) + "/ssh-keygen";
    i = j + 1;
    if (f[0] == '/' && access(f.c_str(), X_OK) == 0)
      return f;
  }
  return "";
}

// Two throwaway keys, one of them, "tester", in the allowed signers.
class Sign : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    keygen_ = find_keygen();
    if (keygen_.empty())
      GTEST_SKIP() << "no ssh-keygen on PATH";
    for (const char *k : {"key", "other"}) {
      std::string f = path(k);
      const char *argv[] = {
          keygen_.c_str(), "-q", "-t",      "ed25519", "-N", "", "-C",
          "kavtest",       "-f", f.c_str(), nullptr};
      proc_cmd cmd = {};
      cmd.cm_argv = argv;
      proc_result r;
      std::string err;
      ASSERT_TRUE(proc_run(cmd, &r, &err)) << err;
      ASSERT_EQ(0, r.pr_code) << "ssh-keygen could not make a key";
    }
    write_file(path("signers"), "tester " + read_file(path("key.pub")));
    s_.sg_keygen = keygen_;
    s_.sg_key = path("key");
    s_.sg_signers = path("signers");
    write_file(path("snap"), "a snapshot\n");
  }
  std::string keygen_;
  st_signer s_;
};

TEST_F(Sign, SignAndVerify) {
  std::string err = "junk";
  ASSERT_TRUE(st_sign(s_, path("snap"), &err)) << err;
  struct stat st;
  ASSERT_EQ(0, stat(path("snap.sig").c_str(), &st));
  // Signing again replaces the signature.
  ASSERT_TRUE(st_sign(s_, path("snap"), &err)) << err;
  EXPECT_EQ(ST_SIG_GOOD, st_verify(s_, path("snap"), "", &err)) << err;
  // With the principal named.
  st_signer named = s_;
  named.sg_principal = "tester";
  EXPECT_EQ(ST_SIG_GOOD, st_verify(named, path("snap"), "", &err)) << err;
  // A file checked against another's signature: a log whose renames were
  // cut short.
  write_file(path("log"), "a snapshot\n");
  EXPECT_EQ(ST_SIG_GOOD, st_verify(s_, path("log"), path("snap.sig"), &err))
      << err;
}

TEST_F(Sign, Refusals) {
  std::string err;
  ASSERT_TRUE(st_sign(s_, path("snap"), &err)) << err;
  st_signer other = s_;
  other.sg_key = path("other");
  write_file(path("byother"), "a snapshot\n");
  ASSERT_TRUE(st_sign(other, path("byother"), &err)) << err;
  write_file(path("altered"), "a snapshot, altered\n");
  ASSERT_EQ(0, rename(path("snap.sig").c_str(), path("altered.sig").c_str()));
  ASSERT_TRUE(st_sign(s_, path("snap"), &err)) << err;
  ASSERT_EQ(0, symlink("snap", path("link").c_str()));
  ASSERT_EQ(0, symlink("snap.sig", path("link.sig").c_str()));
  write_file(path("unsigned"), "a snapshot\n");
  st_signer wrong = s_;
  wrong.sg_principal = "nobody";
  st_signer nokeygen = s_;
  nokeygen.sg_keygen = path("no/ssh-keygen");
  const struct {
    const char *what;
    const st_signer &s;
    const char *file;
    st_check want;
    bool says;  // *err holds a message
  } cases[] = {
      {"altered", s_, "altered", ST_SIG_BAD, true},
      {"no signature", s_, "unsigned", ST_SIG_MISSING, false},
      {"a signature as a link", s_, "link", ST_SIG_MISSING, false},
      {"a signer not allowed", s_, "byother", ST_SIG_NO_SIGNER, false},
      {"a principal that did not sign", wrong, "snap", ST_SIG_BAD, true},
      {"no ssh-keygen", nokeygen, "snap", ST_SIG_FAILED, true},
  };
  for (const auto &c : cases) {
    std::string got = "";
    EXPECT_EQ(c.want, st_verify(c.s, path(c.file), "", &got)) << c.what;
    if (c.says) {
      EXPECT_NE("", got) << c.what;
    }
  }
  // The file itself a link: opened without following it.
  ASSERT_EQ(0, unlink(path("link.sig").c_str()));
  ASSERT_EQ(0, link(path("snap.sig").c_str(), path("link.sig").c_str()));
  std::string got;
  EXPECT_EQ(ST_SIG_FAILED, st_verify(s_, path("link"), "", &got));
  EXPECT_EQ(path("link") + ": " + strerror(ELOOP), got);
}

TEST_F(Sign, SignFails) {
  st_signer s = s_;
  s.sg_key = path("missing");
  std::string err;
  EXPECT_FALSE(st_sign(s, path("snap"), &err));
  // ssh-keygen's own message, then what failed.
  size_t nl = err.rfind('\n');
  ASSERT_NE(std::string::npos, nl) << err;
  EXPECT_NE(0u, nl) << err;
  EXPECT_EQ("cannot sign " + path("snap") + " with " + path("missing"),
            err.substr(nl + 1));
  s = s_;
  s.sg_keygen = path("no/ssh-keygen");
  EXPECT_FALSE(st_sign(s, path("snap"), &err));
  EXPECT_EQ("cannot sign " + path("snap") + " with " + path("key"),
            err.substr(err.rfind('\n') + 1));
  EXPECT_NE(std::string::npos, err.find(path("no/ssh-keygen"))) << err;
}

}  // namespace
