// The rules of the explanation engine, over package records built in
// memory: each row the paths of one thing a maintainer script does, or an
// abuse of a rule, and the verdict each path must get.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "explain/explain.h"
#include "explain/explain_int.h"
#include "sha1/sha1.h"
#include "sha256/sha256.h"
#include "testutil/pkg_fake.h"
#include "testutil/testutil.h"

namespace {

const uint16_t F_REG = S_IFREG, F_LNK = S_IFLNK, F_DIR = S_IFDIR;

// A record as a snapshot holds it: a regular file's contents or a link's
// target in data; digests recorded unless bare.
struct rec_want {
  uint16_t mode;
  uint32_t uid, gid;
  std::string data;
  bool bare = false;  // as the sample policy records /var: no contents
};

// The contents the packages ship.
const char
    *const INIT = "init ng\n",
           *const UNIT = "[Unit]\n", *const SITE = "server {}\n",
           *const MODULE = "load m;\n", *const INDEX = "welcome\n",
           *const CONF = "ng=1\n", *const SUDO = "rules\n",
           *const PROG = "ng program\n", *const CERT_A = "-----A-----\n",
           *const CERT_B = "-----B-----", *const CERT_A09 = "-----A 0.9-----\n",
           *const CERT_C = "-----C-----\n", *const OLDPROG = "old program\n";
// ng's postinst, as its verified archive holds it.
const char *const POSTINST =
    "#!/bin/sh\nmkdir -p \"$DPKG_ROOT/var/www/html\"\n"
    "cp /usr/share/ng/index.html \"$DPKG_ROOT/var/www/html/index.html\"\n"
    ": >\"$DPKG_ROOT/var/lib/ng/state\"\n"
    "echo x >\"$DPKG_ROOT/var/lib/ng/data\"\n"
    "mkdir -p \"$DPKG_ROOT/var/lib/ng/late\"\n";

// The host: ng installed in the window, ca upgraded in it, old installed
// long before; every version's archive at hand and verified.
pkg_fake
world(const std::string &root)
{
  pkg_fake f;
  f.pf_root = root;
  auto para = [](const char *name, const char *version) {
    return std::string("Package: ") + name +
           "\nStatus: install ok installed\nArchitecture: amd64\nVersion: " +
           version + "\n";
  };
  f.pf_status = para("ng", "1.0") + "Conffiles:\n /etc/ng.conf " +
                fake_md5_hex(CONF) + "\n /etc/nginx/sites-available/default " +
                fake_md5_hex(SITE) + "\n\n" + para("ca", "1.0") + "\n" +
                para("old", "1.0");
  const uint16_t R = F_REG | 0644, X = F_REG | 0755, D = F_DIR | 0755;
  fake_archive ng{
      "ng",
      "1.0",
      "amd64",
      {{"/etc/init.d/ng", X, 0, 0, INIT},
       {"/usr/lib/systemd/system/ng.service", R, 0, 0, UNIT},
       {"/etc/nginx/sites-available/default", R, 0, 0, SITE},
       {"/usr/share/nginx/modules-available/m.conf", R, 0, 0, MODULE},
       {"/usr/share/ng/index.html", R, 0, 0, INDEX},
       {"/etc/ng.conf", R, 0, 0, CONF},
       {"/etc/ngsudo", R, 0, 0, SUDO},
       {"/usr/bin/ng", X, 0, 0, PROG},
       {"/var/log/ng", D, 0, 0, ""}},
      {{"postinst", X, 0, 0, POSTINST}}};
  fake_archive ca{
      "ca",
      "1.0",
      "amd64",
      {{"/usr/share/ca-certificates/mozilla/A.crt", R, 0, 0, CERT_A},
       {"/usr/share/ca-certificates/mozilla/B.crt", R, 0, 0, CERT_B}}};
  fake_archive ca09{
      "ca",
      "0.9",
      "amd64",
      {{"/usr/share/ca-certificates/mozilla/A.crt", R, 0, 0, CERT_A09},
       {"/usr/share/ca-certificates/mozilla/C.crt", R, 0, 0, CERT_C}}};
  fake_archive old{
      "old", "1.0", "amd64", {{"/usr/bin/oldprog", X, 0, 0, OLDPROG}}};
  // ca 1.0 after 0.9: the host's records are of the version installed.
  f.pf_archives = {ng, ca09, ca, old};
  for (const fake_archive &a : f.pf_archives) {
    std::string list, sums;
    for (const fake_afile &af : a.fr_files) {
      list += af.fa_path + "\n";
      if (S_ISREG(af.fa_mode))
        sums += fake_md5_hex(af.fa_data) + "  " + af.fa_path.substr(1) + "\n";
    }
    f.pf_lists[a.fr_name] = list;
    f.pf_md5sums[a.fr_name] = sums;
  }
  f.pf_log =
      "2025-12-01 09:00:00 install old:amd64 <none> 1.0\n"
      "2026-01-02 10:00:00 install ng:amd64 <none> 1.0\n"
      "2026-01-02 10:00:01 upgrade ca:amd64 0.9 1.0\n";
  return f;
}

// The files of the world on disk: what the archives of the versions
// installed ship, ng's postinst as dpkg keeps it, the CA configuration.
void
world_files(const std::string &root)
{
  std::map<std::string, const fake_archive *> installed;
  pkg_fake w = world(root);
  for (const fake_archive &a : w.pf_archives)
    installed[a.fr_name] = &a;
  for (const auto &a : installed)
    for (const fake_afile &af : a.second->fr_files)
      if (S_ISREG(af.fa_mode))
        pkg_fake_put(root, af.fa_path, af.fa_data);
  pkg_fake_put(root, "/var/lib/dpkg/info/ng.postinst", POSTINST);
  pkg_fake_put(root, "/etc/ca-certificates.conf",
               "# comment\nmozilla/B.crt\n!mozilla/C.crt\n mozilla/A.crt \n");
}

// A verdict in one line: verdict, evidence and the rule, if any.
std::string
verdict_text(const xp_path &p)
{
  std::string s = std::string(XP_VERDICT_WORDS[p.xp_verdict]) + " " +
                  XP_EVIDENCE_WORDS[p.xp_evidence];
  if (p.xp_rule != nullptr)
    s += std::string(" rule ") + p.xp_rule;
  return s;
}

class XpRules : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    root_ = dir_ + "/root";
    made_ = pkg_fake_time("2026-01-02 10:00:30");
    world_files(root_);
    // The newer snapshot records the whole root but the paths named
    // evil: places the policy does not watch.
    recorded_ = [this](const std::string &name) {
      return name.compare(0, root_.size() + 1, root_ + "/") == 0 &&
             name.find("evil") == std::string::npos;
    };
  }
  db_rec rec_of(const rec_want &s, uint64_t ino)
  {
    db_rec r;
    memset(&r, 0, sizeof r);
    r.ino = ino;
    r.mode = s.mode;
    r.links = 1;
    r.uid = s.uid;
    r.gid = s.gid;
    r.ctime = made_;
    r.size = int64_t(s.data.size());
    sha_buf(s.data.data(), int32_t(s.data.size()), r.csum);
    r.mask = uint16_t(DB_ALL);
    if (s.bare) {
      r.mask = uint16_t(r.mask & ~(DB_CSUM | DB_SIZE));
      memset(r.csum, 0, sizeof r.csum);
      r.size = 0;
    }
    return r;
  }
  // One path: changed, new or deleted; the newer contents or link put on
  // disk.
  xp_path path_of(const std::string &host, const rec_want *older,
                  const rec_want *newer)
  {
    xp_path p;
    p.xp_name = root_ + host;
    p.xp_kind = older == nullptr   ? DB_KIND_NEW
                : newer == nullptr ? DB_KIND_DELETED
                                   : DB_KIND_CHANGED;
    uint64_t ino = std::hash<std::string>()(host) & 0xffffff;
    if (older != nullptr)
      p.xp_recs[0] = rec_of(*older, ino);
    if (newer != nullptr) {
      p.xp_recs[older != nullptr ? 1 : 0] = rec_of(*newer, ino);
      std::string at = root_ + host;
      unlink(at.c_str());
      if (S_ISREG(newer->mode)) {
        pkg_fake_put(root_, host, newer->data);
      } else if (S_ISLNK(newer->mode)) {
        pkg_fake_put(root_, host, "");
        unlink(at.c_str());
        EXPECT_EQ(0, symlink(newer->data.c_str(), at.c_str())) << host;
      } else if (S_ISDIR(newer->mode)) {
        pkg_fake_put(root_, host + "/.keep", "");
      }
    }
    return p;
  }
  std::vector<xp_path> explain(std::vector<xp_path> paths)
  {
    std::string err;
    pkg_db *db = pkg_fake_open(world(root_), &err);
    EXPECT_NE(nullptr, db) << err;
    if (db == nullptr)
      return {};
    xp_notes notes;
    xp_explain(db, root_, pkg_fake_time("2026-01-02 00:00:00"),
               pkg_fake_time("2026-01-03 00:00:00"), recorded_, &paths, &notes);
    EXPECT_TRUE(notes.xn_failed.empty()) << notes.xn_failed[0];
    pkg_close(db);
    return paths;
  }
  std::string root_;
  int64_t made_ = 0;
  xp_recorded_fn recorded_;
};

// One path of a row: how the snapshots hold it and its verdict.
struct one {
  std::string path;
  const rec_want *older, *newer;
  std::string want;
};
struct rule_row {
  const char *what;
  std::vector<one> paths;
  // Files on disk the row needs beside the paths': host path, contents.
  std::vector<std::pair<std::string, std::string>> files = {};
  int64_t late = 0;      // seconds after the operation the first path was made
  bool renamed = false;  // the first path, changed, has a new inode
};

const std::string UNEXPLAINED = "unexplained dpkg",
                  PKG_ARCHIVE = "package archive";

std::vector<rule_row>
rows()
{
  const uint16_t R = F_REG | 0644, X = F_REG | 0755;
  static const rec_want shells{R, 0, 0, "/bin/sh\n"},
      shells_666{F_REG | 0666, 0, 0, "/bin/sh\n"};
  static const rec_want init{X, 0, 0, INIT}, unit{R, 0, 0, UNIT},
      cert_a{R, 0, 0, CERT_A}, cert_a09{R, 0, 0, CERT_A09},
      planted{X, 0, 0, "#!/bin/sh\nevil\n"};
  static std::deque<rec_want> links;
  auto lnk = [](const char *to) {
    links.push_back({F_LNK | 0777, 0, 0, to});
    return &links.back();
  };
  static const rec_want dir{F_DIR | 0755, 0, 0, "listing"},
      dir2{F_DIR | 0755, 0, 0, "listing 2"},
      dir_www{F_DIR | 0755, 33, 4, "listing"},
      dir_user{F_DIR | 0755, 1000, 1000, "listing"},
      dir_sgid{F_DIR | 02755, 0, 0, "listing"};
  static const rec_want index{R, 0, 0, INDEX},
      index_suid{F_REG | 04644, 0, 0, INDEX},
      index_646{F_REG | 0646, 0, 0, INDEX}, evil{R, 0, 0, "evil\n"},
      oldprog{X, 0, 0, OLDPROG}, prog{X, 0, 0, PROG},
      prog_as_index{X, 0, 0, INDEX};
  static const rec_want conf_edit{R, 0, 0, "ng=0 edited\n"},
      conf{R, 0, 0, CONF}, conf_755{X, 0, 0, "ng=0 edited\n"},
      conf_user{R, 1000, 0, CONF}, other{R, 0, 0, "ng=2\n"};
  static const std::string bundle = std::string(CERT_B) + "\n" + CERT_A;
  static const rec_want bundle_rec{R, 0, 0, bundle},
      bundle_extra{R, 0, 0, bundle + "-----EVIL-----\n"},
      bundle_swapped{R, 0, 0, std::string(CERT_A) + CERT_B + "\n"};
  static const rec_want ca_conf_was{R, 0, 0, "mozilla/B.crt\n"},
      ca_conf{R, 0, 0,
              "# comment\nmozilla/B.crt\n!mozilla/C.crt\n mozilla/A.crt \n"},
      ca_conf_local{R, 0, 0, "mozilla/B.crt\nlocal/A.crt\n"},
      ca_conf_out{R, 0, 0, "mozilla/B.crt\n../../../etc/evil.crt\n"},
      ca_conf_none{R, 0, 0, "# none\n!mozilla/A.crt\n"},
      ca_conf_664{F_REG | 0664, 0, 0, "mozilla/B.crt\n"},
      cert_c{R, 0, 0, CERT_C};
  static const rec_want sudo_440{F_REG | 0440, 0, 0, SUDO},
      sudo_666{F_REG | 0666, 0, 0, SUDO}, sudo_www{F_REG | 0640, 33, 0, SUDO},
      prog_suid{F_REG | 04755, 0, 0, PROG},
      trojan_700{F_REG | 0700, 0, 0, "trojan\n"},
      prog_700{F_REG | 0700, 0, 0, PROG}, prog_www{F_REG | 0700, 33, 0, PROG};
  static const rec_want empty{R, 0, 0, ""}, data{R, 0, 0, "x\n"},
      empty_x{X, 0, 0, ""};
  static const rec_want also{
      R, 0, 0, "/etc/systemd/system/multi-user.target.wants/ng.service\n"},
      also_evil{R, 0, 0, "/etc/systemd/system/evil.service\n"},
      also_up{R, 0, 0, "/etc/systemd/system/../../init.d/ng\n"};
  static const rec_want log{F_REG | 0640, 33, 4, "", true},
      log_sum{F_REG | 0640, 33, 4, "GET /\n"},
      log_x{F_REG | 0750, 33, 4, "", true},
      log_suid{F_REG | 04640, 0, 4, "", true},
      log_user{F_REG | 0640, 1000, 4, "", true};
  const std::string U = UNEXPLAINED, P = PKG_ARCHIVE;
  return {
      // unchanged
      {"a file rewritten as it was (add-shell)",
       {{"/etc/shells", &shells, &shells, "package snapshots rule unchanged"}},
       {},
       0,
       true},
      {"rewritten with a mode writable by others",
       {{"/etc/shells", &shells, &shells_666, U}},
       {},
       0,
       true},
      // link
      {"an init script's link (update-rc.d), and its directory",
       {{"/etc/rc2.d", &dir, &dir2, "package archive rule entries"},
        {"/etc/rc2.d/S01ng", nullptr, lnk("../init.d/ng"), P + " rule link"},
        {"/etc/init.d/ng", nullptr, &init, P}}},
      {"a unit's link in a new .wants directory (deb-systemd-helper)",
       {{"/etc/systemd/system/multi-user.target.wants", nullptr, &dir,
         P + " rule entries"},
        {"/etc/systemd/system/multi-user.target.wants/ng.service", nullptr,
         lnk("/usr/lib/systemd/system/ng.service"), P + " rule link"},
        {"/usr/lib/systemd/system/ng.service", nullptr, &unit, P}}},
      {"what deb-systemd-helper keeps of a unit it enabled",
       {{"/etc/systemd/system/multi-user.target.wants/ng.service", nullptr,
         lnk("/usr/lib/systemd/system/ng.service"), P + " rule link"},
        {"/usr/lib/systemd/system/ng.service", nullptr, &unit, P},
        {"/var/lib/systemd/deb-systemd-helper-enabled/"
         "multi-user.target.wants/ng.service",
         nullptr, &empty, P + " rule enabled"},
        {"/var/lib/systemd/deb-systemd-helper-enabled/ng.service.dsh-also",
         nullptr, &also, P + " rule enabled"}}},
      {"deb-systemd-helper's files for links that are not there",
       {{"/var/lib/systemd/deb-systemd-helper-enabled/"
         "multi-user.target.wants/evil.service",
         nullptr, &empty, U},
        {"/var/lib/systemd/deb-systemd-helper-enabled/evil.service.dsh-also",
         nullptr, &also_evil, U},
        {"/var/lib/systemd/deb-systemd-helper-enabled/up.service.dsh-also",
         nullptr, &also_up, U}}},
      {"deb-systemd-helper's empty file, not empty",
       {{"/etc/systemd/system/multi-user.target.wants/ng.service", nullptr,
         lnk("/usr/lib/systemd/system/ng.service"), P + " rule link"},
        {"/usr/lib/systemd/system/ng.service", nullptr, &unit, P},
        {"/var/lib/systemd/deb-systemd-helper-enabled/"
         "multi-user.target.wants/ng.service",
         nullptr, &data, U}}},
      {"a site enabled, to a conffile unchanged since",
       {{"/etc/nginx/sites-enabled/default", nullptr,
         lnk("/etc/nginx/sites-available/default"), P + " rule link"}}},
      {"a module enabled",
       {{"/etc/nginx/modules-enabled/50-m.conf", nullptr,
         lnk("/usr/share/nginx/modules-available/m.conf"), P + " rule link"}}},
      {"a certificate's link and its hash link (update-ca-certificates)",
       {{"/etc/ssl/certs/A.pem", nullptr,
         lnk("/usr/share/ca-certificates/mozilla/A.crt"), P + " rule link"},
        {"/etc/ssl/certs/1a2b3c4d.0", nullptr, lnk("A.pem"), P + " rule link"},
        {"/usr/share/ca-certificates/mozilla/A.crt", &cert_a09, &cert_a, P}}},
      {"a link to a program the policy does not watch",
       {{"/etc/rc2.d/S01evil", nullptr, lnk("/etc/init.d/evil"), U}}},
      {"a link out of the root",
       {{"/etc/rc2.d/S01up", nullptr, lnk("../../../../../../../etc/init.d/ng"),
         U}}},
      {"a link from a place that does not fit its target",
       {{"/etc/rc2.d/S01prog", nullptr, lnk("/usr/bin/ng"), U},
        {"/usr/local/bin/ng", nullptr, lnk("/usr/bin/ng"), U}}},
      {"a fitting place reached through a planted directory link",
       {{"/etc/ssl/certs/X.pem", nullptr,
         lnk("/usr/share/ca-certificates/bin/ng"), U},
        {"/usr/share/ca-certificates/bin", nullptr, lnk("/usr/bin"), U}}},
      {"a link to a planted init script",
       {{"/etc/rc2.d/S01planted", nullptr, lnk("../init.d/planted"), U},
        {"/etc/init.d/planted", nullptr, &planted, U}}},
      // copy
      {"a copy of a package file (nginx's index page)",
       {{"/srv/index.html", nullptr, &index, P + " rule copy"}}},
      {"a copy that adds a set-ID bit",
       {{"/srv/index.html", nullptr, &index_suid, U}}},
      {"a copy writable by others",
       {{"/srv/index.html", nullptr, &index_646, U}}},
      {"contents no package ships", {{"/srv/index.html", nullptr, &evil, U}}},
      {"a copy of a package not operated on in the window",
       {{"/srv/oldprog", nullptr, &oldprog, U}}},
      {"a package's program replaced by another verified file",
       {{"/usr/bin/ng", &prog, &prog_as_index, "unexplained archive"}}},
      // leftover
      {"the edited conffile kept as .dpkg-old",
       {{"/etc/ng.conf", &conf_edit, &conf, P},
        {"/etc/ng.conf.dpkg-old", nullptr, &conf_edit,
         "package snapshots rule leftover"}}},
      {"the package's conffile kept as .dpkg-dist",
       {{"/etc/ng.conf.dpkg-dist", nullptr, &conf, P + " rule leftover"}}},
      {"a leftover with other contents",
       {{"/etc/ng.conf", &conf_edit, &conf, P},
        {"/etc/ng.conf.dpkg-old", nullptr, &other, U}}},
      {"a leftover that adds a permission",
       {{"/etc/ng.conf", &conf_edit, &conf, P},
        {"/etc/ng.conf.ucf-old", nullptr, &conf_755, U}}},
      {"a leftover given to a user",
       {{"/etc/ng.conf.ucf-dist", nullptr, &conf_user, U}}},
      // regenerated
      {"the CA bundle as the configuration enables it",
       {{"/etc/ssl/certs/ca-certificates.crt", nullptr, &bundle_rec,
         P + " rule regenerated"}}},
      {"a CA bundle with an extra certificate",
       {{"/etc/ssl/certs/ca-certificates.crt", nullptr, &bundle_extra, U}}},
      {"a CA bundle in another order",
       {{"/etc/ssl/certs/ca-certificates.crt", nullptr, &bundle_swapped, U}}},
      {"a CA bundle of a certificate no package ships",
       {{"/etc/ssl/certs/ca-certificates.crt", nullptr, &bundle_rec, U}},
       {{"/etc/ca-certificates.conf", "mozilla/B.crt\nlocal/A.crt\n"},
        {"/usr/share/ca-certificates/local/A.crt", CERT_A}}},
      {"the CA configuration as the script writes it",
       {{"/etc/ca-certificates.conf", &ca_conf_was, &ca_conf,
         P + " rule regenerated"}}},
      {"a CA configuration enabling a certificate no package ships",
       {{"/etc/ca-certificates.conf", &ca_conf_was, &ca_conf_local, U}},
       {{"/usr/share/ca-certificates/local/A.crt", CERT_A}}},
      {"a CA configuration leading out of the certificates",
       {{"/etc/ca-certificates.conf", &ca_conf_was, &ca_conf_out, U}},
       {{"/etc/evil.crt", CERT_A}}},
      {"a CA configuration that enables nothing",
       {{"/etc/ca-certificates.conf", &ca_conf_was, &ca_conf_none, U}}},
      {"a CA configuration its group may write",
       {{"/etc/ca-certificates.conf", &ca_conf_was, &ca_conf_664, U}}},
      // withdrawn
      {"a certificate taken away: its link and hash link go",
       {{"/usr/share/ca-certificates/mozilla/C.crt", &cert_c, nullptr, P},
        {"/etc/ssl/certs/C.pem",
         lnk("/usr/share/ca-certificates/mozilla/C.crt"), nullptr,
         P + " rule withdrawn"},
        {"/etc/ssl/certs/3c4d5e6f.0", lnk("C.pem"), nullptr,
         P + " rule withdrawn"}}},
      {"a link taken away while its certificate stays",
       {{"/etc/ssl/certs/A.pem",
         lnk("/usr/share/ca-certificates/mozilla/A.crt"), nullptr, U},
        {"/etc/ssl/certs/3c4d5e6f.0", lnk("A.pem"), nullptr, U}}},
      {"a hash link to a link that is not taken away",
       {{"/usr/share/ca-certificates/mozilla/C.crt", &cert_c, nullptr, P},
        {"/etc/ssl/certs/3c4d5e6f.0", lnk("A.pem"), nullptr, U}}},
      {"a link taken away elsewhere, and the bundle deleted",
       {{"/usr/share/ca-certificates/mozilla/C.crt", &cert_c, nullptr, P},
        {"/etc/ssl/private/C.pem",
         lnk("/usr/share/ca-certificates/mozilla/C.crt"), nullptr, U},
        {"/etc/ssl/certs/ca-certificates.crt", &bundle_rec, nullptr, U}}},
      // narrowed
      {"a mode narrowed by a script (sudoers 0440)",
       {{"/etc/ngsudo", nullptr, &sudo_440, P + " rule narrowed"}}},
      {"a log directory given to a system account",
       {{"/var/log/ng", nullptr, &dir_www, P + " rule narrowed"}}},
      {"a mode that adds a bit",
       {{"/etc/ngsudo", nullptr, &sudo_666, "unexplained archive"}}},
      {"an owner changed outside the places for it",
       {{"/etc/ngsudo", nullptr, &sudo_www, "unexplained archive"}}},
      {"a set-user-ID bit added",
       {{"/usr/bin/ng", nullptr, &prog_suid, "unexplained archive"}}},
      {"a narrowed mode on other contents",
       {{"/usr/bin/ng", nullptr, &trojan_700, "unexplained archive"}}},
      {"a program narrowed",
       {{"/usr/bin/ng", nullptr, &prog_700, P + " rule narrowed"}}},
      {"a program given to a system account",
       {{"/usr/bin/ng", nullptr, &prog_www, "unexplained archive"}}},
      {"a log directory given to a user",
       {{"/var/log/ng", nullptr, &dir_user, "unexplained archive"}}},
      // named
      {"directories a verified postinst makes, and a copy in them",
       {{"/var/www", nullptr, &dir, P + " rule named"},
        {"/var/www/html", nullptr, &dir, P + " rule named"},
        {"/var/www/html/index.html", nullptr, &index, P + " rule copy"}}},
      {"an empty file a verified postinst makes",
       {{"/var/lib/ng/state", nullptr, &empty, P + " rule named"}}},
      {"a named file whose contents are not explained",
       {{"/var/lib/ng/data", nullptr, &data, U}}},
      {"a named file that is a program",
       {{"/var/lib/ng/state", nullptr, &empty_x, U}}},
      {"a named directory holding a planted file",
       {{"/var/www", nullptr, &dir, U},
        {"/var/www/html", nullptr, &dir, U},
        {"/var/www/html/shell.php", nullptr, &evil, U}}},
      {"a named directory made hours after the operation",
       {{"/var/lib/ng/late", nullptr, &dir, U}},
       {},
       3 * 3600},
      {"a named directory with a set-group-ID bit",
       {{"/var/lib/ng/late", nullptr, &dir_sgid, U}}},
      {"a directory no script names", {{"/var/www2", nullptr, &dir, U}}},
      // log
      {"a log coming into being",
       {{"/var/log/ng/access.log", nullptr, &log,
         "package snapshots rule log"}}},
      {"a log whose contents the policy records",
       {{"/var/log/ng/access.log", nullptr, &log_sum, U}}},
      {"a program among the logs",
       {{"/var/log/ng/access.log", nullptr, &log_x, U}}},
      {"a set-user-ID log",
       {{"/var/log/ng/access.log", nullptr, &log_suid, U}}},
      {"a log of a user's",
       {{"/var/log/ng/access.log", nullptr, &log_user, U}}},
  };
}

}  // namespace

TEST_F(XpRules, Rows) {
  for (const rule_row &r : rows()) {
    std::vector<xp_path> paths;
    for (const auto &f : r.files)
      pkg_fake_put(root_, f.first, f.second);
    for (const one &o : r.paths)
      paths.push_back(path_of(o.path, o.older, o.newer));
    if (r.late != 0)
      paths[0].xp_recs[0].ctime += r.late;
    if (r.renamed)
      paths[0].xp_recs[1].ino++;
    std::vector<xp_path> got = explain(paths);
    ASSERT_EQ(r.paths.size(), got.size()) << r.what;
    for (size_t i = 0; i < got.size(); i++)
      EXPECT_EQ(r.paths[i].want, verdict_text(got[i]))
          << r.what << ": " << r.paths[i].path << ": " << got[i].xp_expected;
    // Put back what the row changed on disk.
    for (const one &o : r.paths)
      if (o.newer != nullptr && !S_ISDIR(o.newer->mode))
        unlink((root_ + o.path).c_str());
    world_files(root_);
  }
}

// No rule explains a path that gives anybody something: every path a row
// has a rule explain, given a set-user-ID bit, a mode writable by others,
// a user's owner or an extended attribute, is explained by none (a link's
// mode means nothing: only its owner and attributes count).
TEST_F(XpRules, NothingGiven) {
  static const uint8_t xattr[] = {1, 2, 3};
  db_ext ext{};
  ext.xa = xattr;
  ext.xa_len = sizeof xattr;
  const struct {
    const char *what;
    std::function<void(db_rec *)> give;
    bool links;
  } gifts[] = {
      {"a set-user-ID bit", [](db_rec *r) { r->mode |= S_ISUID; }, false},
      {"a mode writable by others", [](db_rec *r) { r->mode |= S_IWOTH; },
       false},
      {"a user's owner", [](db_rec *r) { r->uid = 1000; }, true},
      {"an extended attribute",
       [&ext](db_rec *r) {
         r->mask |= DB_XATTR;
         r->ext = &ext;
       },
       true},
  };
  size_t tried = 0;
  for (const rule_row &r : rows())
    for (size_t k = 0; k < r.paths.size(); k++) {
      const one &o = r.paths[k];
      if (o.want.find(" rule ") == std::string::npos || o.newer == nullptr)
        continue;
      for (const auto &g : gifts) {
        if (S_ISLNK(o.newer->mode) && !g.links)
          continue;
        std::vector<xp_path> paths;
        for (const auto &f : r.files)
          pkg_fake_put(root_, f.first, f.second);
        for (const one &q : r.paths)
          paths.push_back(path_of(q.path, q.older, q.newer));
        if (r.renamed)
          paths[0].xp_recs[1].ino++;
        g.give(const_cast<db_rec *>(xp_now(paths[k])));
        std::vector<xp_path> got = explain(paths);
        ASSERT_EQ(r.paths.size(), got.size()) << r.what;
        EXPECT_NE(XP_PACKAGE, got[k].xp_verdict)
            << r.what << ": " << o.path << " with " << g.what << ": "
            << verdict_text(got[k]);
        tried++;
        world_files(root_);
      }
    }
  EXPECT_GT(tried, 40u);
}
