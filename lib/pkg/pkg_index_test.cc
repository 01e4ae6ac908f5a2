// apt's indexes: the paragraphs of a verified Packages index, and the
// Release files whose signature gpgv checks and whose SHA256 section
// verifies the indexes beside them, inline signed (InRelease) or with a
// detached signature (Release.gpg).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "pkg/pkg.h"
#include "pkg/pkg_int.h"
#include "sha1/sha1.h"
#include "testutil/pkg_fake.h"
#include "testutil/testutil.h"

namespace {

const std::string S1(64, 'a'), S2(64, 'b'), S3(64, 'c');

std::string
para(const std::string &name, const std::string &version,
     const std::string &arch, const std::string &sum,
     const std::string &file = "pool/x.deb")
{
  return "Package: " + name + "\nVersion: " + version +
         "\nArchitecture: " + arch + "\nFilename: " + file +
         "\nSize: 1234\nSHA256: " + sum + "\nDescription: x\n more\n";
}

// Every listing of name, version and arch: "sum file" joined by "; ".
std::string
listed(pkg_db *db, const char *name, const char *version, const char *arch)
{
  std::string s;
  for (const auto &l : pkg_index_find(db, name, version, arch))
    s += (s.empty() ? "" : "; ") + l.first.substr(0, 1) + " " + l.second;
  return s;
}

}  // namespace

// The paragraphs of verified indexes (given here as verified): a package
// is listed where its name, version and architecture all match, with the
// SHA-256 of its paragraph, and for the archive directory's index the file
// its Filename places it in. The first letter of a digest stands for it.
TEST(PkgIndex, Paragraphs) {
  const struct {
    const char *what;
    std::vector<std::string> texts;  // the first with a base directory
    const char *name, *version, *arch, *want;
  } cases[] = {
      {"one paragraph",
       {para("a", "1.0", "amd64", S1)},
       "a",
       "1.0",
       "amd64",
       "a /repo/pool/x.deb"},
      {"another version or architecture",
       {para("a", "1.0", "amd64", S1) + "\n" + para("a", "1.1", "amd64", S2) +
        "\n" + para("a", "1.0", "all", S3)},
       "a",
       "1.1",
       "amd64",
       "b /repo/pool/x.deb"},
      {"\"./\" before the file",
       {para("a", "1", "all", S1, "./a_1_all.deb")},
       "a",
       "1",
       "all",
       "a /repo/a_1_all.deb"},
      {"the second index has no base",
       {para("z", "1", "all", S1), para("a", "1", "all", S2)},
       "a",
       "1",
       "all",
       "b "},
      {"both indexes list it",
       {para("a", "1", "all", S1), para("a", "1", "all", S2)},
       "a",
       "1",
       "all",
       "a /repo/pool/x.deb; b "},
      {"no SHA256 field",
       {"Package: a\nVersion: 1\nArchitecture: all\n"},
       "a",
       "1",
       "all",
       ""},
      {"an empty SHA256 field",
       {"Package: a\nVersion: 1\nArchitecture: all\nSHA256: \n"},
       "a",
       "1",
       "all",
       ""},
      // A paragraph's fields are its own: the digest of the paragraph
      // before is not taken.
      {"the paragraph before has the digest",
       {para("b", "1", "all", S1) + "\nPackage: a\nVersion: 1\n"
                                    "Architecture: all\n"},
       "a",
       "1",
       "all",
       ""},
      {"Package not the first field",
       {para("b", "1", "all", S1) + "\nVersion: 1\nSHA256: " + S2 +
        "\nPackage: a\nArchitecture: all\nFilename: a.deb\n"},
       "a",
       "1",
       "all",
       "b /repo/a.deb"},
      // Without a Filename the index places the archive nowhere, not at
      // its directory.
      {"no Filename field",
       {"Package: a\nVersion: 1\nArchitecture: all\nSHA256: " + S1 + "\n"},
       "a",
       "1",
       "all",
       "a "},
      {"a name that only starts the same",
       {para("ab", "1", "all", S1)},
       "a",
       "1",
       "all",
       ""},
      {"a name in a description",
       {"Package: b\nVersion: 1\nArchitecture: all\nSHA256: " + S1 +
        "\nDescription: x\n Package: a\n"},
       "a",
       "1",
       "all",
       ""},
      {"indented lines are no fields",
       {"Package: a\nVersion: 1\nArchitecture: all\nDescription: x\n SHA256: " +
        S1 + "\n"},
       "a",
       "1",
       "all",
       ""},
      {"the last paragraph without a newline",
       {para("b", "1", "all", S1) + "\n" +
        "Package: a\nVersion: 1\n"
        "Architecture: all\nSHA256: " +
        S2 + "\nFilename: a.deb"},
       "a",
       "1",
       "all",
       "b /repo/a.deb"},
      {"blank lines around",
       {"\n\n" + para("a", "1", "all", S1) + "\n\n\n"},
       "a",
       "1",
       "all",
       "a /repo/pool/x.deb"},
      {"a field without a blank after its colon",
       {"Package: a\nVersion: 1\nArchitecture: all\nSHA256:" + S1 + "\n"},
       "a",
       "1",
       "all",
       ""},
      {"CRLF lines",
       {"Package: a\r\nVersion: 1\r\nArchitecture: all\r\nSHA256: " + S1 +
        "\r\n"},
       "a",
       "1",
       "all",
       ""},
      {"an empty index", {""}, "a", "1", "all", ""},
  };
  for (const auto &c : cases) {
    pkg_db db;
    for (size_t i = 0; i < c.texts.size(); i++) {
      pkg_index ix;
      ix.pi_base = i == 0 ? "/repo/" : "";
      ix.pi_text = pkg_keep(&db, c.texts[i]);
      db.pd_index.push_back(ix);
    }
    EXPECT_EQ(c.want, listed(&db, c.name, c.version, c.arch)) << c.what;
  }
}

namespace {

// A root whose apt trusts a throwaway key, and a second key it does not
// trust; each row's Release text signed as it asks.
class PkgRelease : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    gpg_ = pkg_fake_tool("gpg");
    gpgconf_ = pkg_fake_tool("gpgconf");
    if (gpg_.empty() || gpgconf_.empty() || pkg_fake_tool("gpgv").empty())
      GTEST_SKIP() << "gpg, gpgconf or gpgv is not installed";
    root_ = dir_ + "/root";
    for (const char *home : {"trusted", "other"}) {
      std::string h = dir_ + "/" + home;
      ASSERT_EQ(0, mkdir(h.c_str(), 0700));
      homes_.push_back(h);
      prog_result r = gpg(h, {"--passphrase", "", "--quick-gen-key", home,
                              "ed25519", "sign", "never"});
      ASSERT_EQ(0, r.status) << r.err;
    }
    pkg_fake_put(root_, "/etc/apt/trusted.gpg.d/.keep", "");
    prog_result r = gpg(homes_[0], {"--export", "--output",
                                    root_ + "/etc/apt/trusted.gpg.d/t.gpg"});
    ASSERT_EQ(0, r.status) << r.err;
    pkg_fake_put(root_, "/var/lib/apt/lists/.keep", "");
  }
  void TearDown() override
  {
    for (const std::string &h : homes_)
      run_prog({gpgconf_, "--homedir", h, "--kill", "all"});
    pkg_close(db_);
    TmpDirTest::TearDown();
  }
  prog_result gpg(const std::string &home, std::vector<std::string> args)
  {
    args.insert(args.begin(), {gpg_, "--homedir", home, "--batch", "--quiet"});
    return run_prog(args, dir_);
  }
  // text clearsigned with the key of home.
  std::string clearsign(const std::string &home, const std::string &text)
  {
    write_file(dir_ + "/in", text);
    unlink((dir_ + "/out").c_str());
    prog_result r =
        gpg(home, {"--clearsign", "-o", dir_ + "/out", dir_ + "/in"});
    EXPECT_EQ(0, r.status) << r.err;
    return read_file(dir_ + "/out");
  }
  std::string detach_sign(const std::string &home, const std::string &text)
  {
    write_file(dir_ + "/in", text);
    unlink((dir_ + "/out").c_str());
    prog_result r =
        gpg(home, {"--detach-sign", "-o", dir_ + "/out", dir_ + "/in"});
    EXPECT_EQ(0, r.status) << r.err;
    return read_file(dir_ + "/out");
  }
  // The indexes under the root, loaded: the notes, then what is listed
  // of a 1 and of z 1 (the forged package), the root cut from the names.
  std::string load()
  {
    pkg_close(db_);
    db_ = nullptr;
    pkg_fake f;
    f.pf_root = root_;
    std::string err;
    db_ = pkg_fake_open(f, &err);
    if (db_ == nullptr)
      return "open: " + err;
    if (pin_)
      pkg_pin(db_, pin_);
    pkg_index_load(db_);
    std::string s;
    for (const pkg_note &n : pkg_notes(db_))
      s += std::string(n.pn_failure ? "failure " : "") + n.pn_text + " | ";
    for (size_t at; (at = s.find(root_)) != std::string::npos;)
      s.erase(at, root_.size());
    return s + "a=" + listed(db_, "a", "1", "all") +
           " z=" + listed(db_, "z", "1", "all");
  }
  pkg_pin_fn pin_;
  db_rec rec_ = {};  // a record for pin_ to give
  std::string gpg_, gpgconf_, root_;
  std::vector<std::string> homes_;
  pkg_db *db_ = nullptr;
};

}  // namespace

// Each row: the Release text's SHA256 section and the files beside it,
// how it is signed, and what loading the indexes under the root gives.
// The good index lists a at 1; the forged one, whose digest only an
// unsigned or untrusted text lists, lists z at 1.
TEST_F(PkgRelease, SignedIndexes) {
  const std::string lists = root_ + "/var/lib/apt/lists/";
  const std::string prefix = "deb.example.org_dists_s_";
  const std::string good = para("a", "1", "all", S1);
  const std::string forged = para("z", "1", "all", S2);
  const std::string sg = pkg_sha256_hex(good), sf = pkg_sha256_hex(forged);
  const std::string head = "Origin: test\nSuite: s\nMD5Sum:\n " +
                           std::string(32, '0') +
                           " 1 main/binary-all/Packages\n";
  const std::string good_line = " " + sg + " " + std::to_string(good.size()) +
                                " main/binary-all/Packages\n";
  const std::string forged_line = " " + sf + " " +
                                  std::to_string(forged.size()) +
                                  " main/binary-other/Packages\n";
  const std::string release = head + "SHA256:\n" + good_line;
  enum sign { INLINE, DETACHED, UNSIGNED, OTHER_KEY };
  const struct {
    const char *what;
    std::string text;  // the Release text
    sign how;
    // What becomes of the signed file: text before and after it, a
    // second signed part, or an edit of its armour: from replaced once
    // by to, or the rest of the file from there cut when to is "\n".
    std::string before, after;
    bool second_part;
    std::string from, to;
    const char *want;
  } cases[] = {
      {"inline signed", release, INLINE, "", "", false, "", "", "a=a  z="},
      {"with a detached signature", release, DETACHED, "", "", false, "", "",
       "a=a  z="},
      {"not signed: no index", release, UNSIGNED, "", "", false, "", "",
       "a= z="},
      {"signed by a key apt does not trust", release, OTHER_KEY, "", "", false,
       "", "",
       "failure /var/lib/apt/lists/deb.example.org_dists_s_InRelease: the "
       "signature does not verify with gpgv | a= z="},
      {"both indexes listed", release + forged_line, INLINE, "", "", false, "",
       "", "a=a  z=b "},
      {"the SHA-256 of another text",
       head + "SHA256:\n " + sf + " 1 main/binary-all/Packages\n", INLINE, "",
       "", false, "", "",
       "failure /var/lib/apt/lists/"
       "deb.example.org_dists_s_main_binary-all_Packages: "
       "its SHA-256 is not the one /var/lib/apt/lists/"
       "deb.example.org_dists_s_InRelease lists | a= z="},
      {"listed only in another section",
       head + "SHA1:\n " + std::string(40, '0') +
           " 1 main/binary-other/Packages\nSHA256:\n" + good_line,
       INLINE, "", "", false, "", "", "a=a  z="},
      {"a size that is not the file's: the digest decides",
       head + "SHA256:\n " + sg + " 99 main/binary-all/Packages\n", INLINE, "",
       "", false, "", "", "a=a  z="},
      {"a field after the section ends it",
       head + "SHA256:\n" + good_line + "Acquire-By-Hash: yes\n" + forged_line,
       INLINE, "", "", false, "", "", "a=a  z="},
      // Only what gpgv says is signed counts: a listing outside the
      // signed part is never read.
      {"text after the signature", release, INLINE, "",
       "SHA256:\n" + forged_line, false, "", "", "a=a  z="},
      {"text before the signed part", release, INLINE,
       "SHA256:\n" + forged_line + "\n", "", false, "", "", "a=a  z="},
      {"a second signed part", release, INLINE, "", "", true, "", "",
       "failure /var/lib/apt/lists/deb.example.org_dists_s_InRelease: the "
       "signature does not verify with gpgv | a= z="},
      {"the signature block cut off", release, INLINE, "", "", false,
       "\n-----BEGIN PGP SIGNATURE-----", "\n",
       "failure /var/lib/apt/lists/deb.example.org_dists_s_InRelease: the "
       "signature does not verify with gpgv | a= z="},
      {"the signature block's armour renamed", release, INLINE, "", "", false,
       "-----BEGIN PGP SIGNATURE-----", "-----BEGIN NOTHING-----", "a=a  z="},
      {"a listing added inside the signed part", release, INLINE, "", "", false,
       good_line, good_line + forged_line,
       "failure /var/lib/apt/lists/deb.example.org_dists_s_InRelease: the "
       "signature does not verify with gpgv | a= z="},
      // A line that starts with a dash is escaped in the armour and read
      // back as it was signed.
      {"a dash-escaped line like armour",
       head + "-----BEGIN PGP SIGNATURE-----\nSHA256:\n" + good_line, INLINE,
       "", "", false, "", "", "a=a  z="},
      {"that line's escape removed",
       head + "-----BEGIN PGP SIGNATURE-----\nSHA256:\n" + good_line, INLINE,
       "", "", false, "\n- -----BEGIN", "\n-----BEGIN",
       "failure /var/lib/apt/lists/deb.example.org_dists_s_InRelease: the "
       "signature does not verify with gpgv | a= z="},
      {"the escape of a plain line removed: the same text",
       head + "-Note: x\nSHA256:\n" + good_line, INLINE, "", "", false,
       "\n- -Note", "\n-Note", "a=a  z="},
  };
  for (const auto &c : cases) {
    remove_tree(lists);
    pkg_fake_put(root_, "/var/lib/apt/lists/.keep", "");
    write_file(lists + prefix + "main_binary-all_Packages", good);
    write_file(lists + prefix + "main_binary-other_Packages", forged);
    if (c.how == DETACHED || c.how == UNSIGNED) {
      write_file(lists + prefix + "Release", c.text);
      if (c.how == DETACHED)
        write_file(lists + prefix + "Release.gpg",
                   detach_sign(homes_[0], c.text));
    } else {
      std::string signed_text =
          clearsign(homes_[c.how == OTHER_KEY ? 1 : 0], c.text);
      if (!c.from.empty()) {
        size_t at = signed_text.find(c.from);
        ASSERT_NE(std::string::npos, at) << c.what;
        // "\n" cuts the file there.
        signed_text.replace(at,
                            c.to == "\n" ? std::string::npos : c.from.size(),
                            c.to);
      }
      if (c.second_part)
        signed_text += clearsign(homes_[0], "SHA256:\n" + forged_line);
      write_file(lists + prefix + "InRelease",
                 c.before + signed_text + c.after);
    }
    EXPECT_EQ(c.want, load()) << c.what;
  }
}

// apt keeps its lists recompressed: the digest is of the text itself,
// whatever file holds it; one that is not what it says is an error.
TEST_F(PkgRelease, CompressedIndex) {
  const std::string lists = root_ + "/var/lib/apt/lists/";
  const std::string prefix = lists + "x_dists_s_";
  const std::string good = para("a", "1", "all", S1);
  write_file(prefix + "main_binary-all_Packages", good);
  std::string gzip = pkg_fake_tool("gzip");
  if (gzip.empty())
    GTEST_SKIP() << "gzip is not installed";
  prog_result r = run_prog({gzip, "-n", prefix + "main_binary-all_Packages"});
  ASSERT_EQ(0, r.status) << r.err;
  write_file(prefix + "InRelease",
             clearsign(homes_[0], "SHA256:\n " + pkg_sha256_hex(good) +
                                      " 1 main/binary-all/Packages\n"));
  EXPECT_EQ("a=a  z=", load());
  write_file(prefix + "main_binary-all_Packages.gz", "not gzip at all");
  EXPECT_EQ(
      "failure /var/lib/apt/lists/x_dists_s_main_binary-all_Packages.gz: "
      "its SHA-256 is not the one /var/lib/apt/lists/"
      "x_dists_s_InRelease lists | a= z=",
      load());
}

// Which key verifies the main source's lists: a key that a sources file
// names with Signed-By for another source does not, however well it
// signs (the planted index of a source whose key the intruder holds); a
// key the main source names itself does, and then alone; a trusted
// keyring that changed since the older snapshot verifies nothing. Each
// row: the sources, whether t.gpg is pinned as it is, who signs.
TEST_F(PkgRelease, ScopedKeys) {
  const std::string lists = root_ + "/var/lib/apt/lists/";
  const std::string prefix = lists + "deb.example.org_dists_s_";
  const std::string good = para("a", "1", "all", S1);
  write_file(prefix + "main_binary-all_Packages", good);
  const std::string release = "SHA256:\n " + pkg_sha256_hex(good) +
                              " 1 main/binary-all/Packages\n";
  prog_result r = gpg(homes_[1], {"--export", "--output", dir_ + "/o.gpg"});
  ASSERT_EQ(0, r.status) << r.err;
  pkg_fake_put(root_, "/etc/apt/keyrings/o.gpg", read_file(dir_ + "/o.gpg"));
  const std::string t_bytes = read_file(root_ + "/etc/apt/trusted.gpg.d/t.gpg");
  const std::string other_line =
      "deb [signed-by=/etc/apt/keyrings/o.gpg] http://other.example/ s main\n";
  const std::string own_line =
      "deb [signed-by=/etc/apt/keyrings/o.gpg] http://deb.example.org/ s m\n";
  const std::string failed =
      "failure /var/lib/apt/lists/deb.example.org_dists_s_InRelease: the "
      "signature does not verify with gpgv | a= z=";
  const struct {
    const char *what;
    std::string sources;  // sources.list.d/x.list
    bool pinned;          // t.gpg as the older snapshot recorded it, or not
    size_t signer;        // 0 the trusted key, 1 the other
    std::string want;
  } cases[] = {
      {"no Signed-By: the trusted key", "", false, 0, "a=a  z="},
      {"no Signed-By: not the other key", "", false, 1, failed},
      {"another source's key", other_line, false, 1, failed},
      {"another source's key: the trusted key still", other_line, false, 0,
       "a=a  z="},
      {"its own key", own_line, false, 1, "a=a  z="},
      {"its own key alone", own_line, false, 0, failed},
      {"the trusted keyring as recorded", "", true, 0, "a=a  z="},
  };
  for (const auto &c : cases) {
    unlink((root_ + "/etc/apt/sources.list.d/x.list").c_str());
    if (!c.sources.empty())
      pkg_fake_put(root_, "/etc/apt/sources.list.d/x.list", c.sources);
    write_file(prefix + "InRelease", clearsign(homes_[c.signer], release));
    if (c.pinned) {
      // The older snapshot recorded t.gpg by its SHA-1 alone.
      rec_ = {};
      rec_.mode = S_IFREG | 0644;
      rec_.mask = DB_MODE | DB_CSUM;
      sha_buf(t_bytes.data(), int32_t(t_bytes.size()), rec_.csum);
      std::string t_path = root_ + "/etc/apt/trusted.gpg.d/t.gpg";
      pin_ = [this, t_path](const std::string &p) -> const db_rec * {
        return p == t_path ? &rec_ : nullptr;
      };
    } else {
      pin_ = nullptr;
    }
    EXPECT_EQ(c.want, load()) << c.what;
  }
  // Rewritten since: not trusted, and nothing else verifies the list.
  rec_.csum[0] ^= 1;
  EXPECT_EQ(
      "/etc/apt/trusted.gpg.d/t.gpg: changed since the older snapshot | "
      "failure /var/lib/apt/lists/"
      "deb.example.org_dists_s_InRelease: no keyring is trusted for it | "
      "a= z=",
      load());
  EXPECT_TRUE(pkg_index_short(db_));
  ASSERT_EQ(1u, pkg_untrusted(db_).size());
  EXPECT_EQ(root_ + "/etc/apt/trusted.gpg.d/t.gpg", pkg_untrusted(db_)[0]);
}

// A collector's hosts share the indexes: the first db verifies them, and
// a later one, given the same shared load, lists and notes what the first
// found even when the files are gone (they are not read again); one
// without it reads the files itself, and finds nothing.
TEST_F(PkgRelease, SharedAway) {
  const std::string src = dir_ + "/mirror", other = dir_ + "/stranger";
  const std::string good = para("a", "1", "all", S1);
  const std::string release = "SHA256:\n " + pkg_sha256_hex(good) + " " +
                              std::to_string(good.size()) + " Packages\n";
  for (const std::string &d : {src, other}) {
    ASSERT_EQ(0, mkdir(d.c_str(), 0700));
    write_file(d + "/Packages", good);
    write_file(d + "/InRelease", clearsign(homes_[d == src ? 0 : 1], release));
  }
  pkg_fake_put(root_, "/var/lib/dpkg/status", "");
  std::string records = dir_ + "/records.pkg", err;
  ASSERT_TRUE(pkg_save(root_.c_str(), records.c_str(), &err)) << err;
  pkg_away_opts o;
  o.pw_newer = o.pw_older = records;
  o.pw_keyrings = {root_ + "/etc/apt/trusted.gpg.d/t.gpg"};
  o.pw_sources = {src, other};
  auto away = [&](bool shared) {
    pkg_away_opts w = o;
    if (!shared)
      w.pw_indexes = nullptr;
    std::string why;
    pkg_db *db = pkg_open_away(w, &why);
    if (db == nullptr)
      return "open: " + why;
    pkg_index_load(db);
    std::string s;
    for (const pkg_note &n : pkg_notes(db))
      s += std::string(n.pn_failure ? "failure " : "") + n.pn_text + " | ";
    s += "a=" + listed(db, "a", "1", "all") +
         (pkg_index_short(db) ? " short" : "");
    pkg_close(db);
    for (size_t at; (at = s.find(dir_)) != std::string::npos;)
      s.erase(at, dir_.size());
    return s;
  };
  const std::string want =
      "failure /stranger/InRelease: the signature does not verify with gpgv | "
      "a=a /mirror/pool/x.deb short";
  o.pw_indexes = pkg_index_shared_make();
  EXPECT_EQ(want, away(true));
  remove_tree(src);
  remove_tree(other);
  EXPECT_EQ(want, away(true));
  EXPECT_EQ(want, away(true));
  EXPECT_EQ("a=", away(false));
}
