// Property test of the whole chain: random trees, random changes, two
// snapshots with every attribute, kavcmp -d, read back with kavshow. The
// difference database must name exactly the paths whose objects changed,
// each with its letter, in tree order; what did not change never appears.
// What changed is decided independently, from the tree as lstat, readlink,
// readdir and the file contents show it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "testutil/confine.h"
#include "testutil/testutil.h"

namespace {

// What the snapshot records of an object, as the test sees it: every
// attribute but ctime, and instead of a digest the bytes digested (the
// contents, the sorted entry names, the link text).
struct object {
  ino_t ino;
  mode_t mode;
  nlink_t links;
  uid_t uid;
  gid_t gid;
  off_t size;
  std::string body;
  bool operator==(const object &o) const
  {
    return ino == o.ino && mode == o.mode && links == o.links && uid == o.uid &&
           gid == o.gid && size == o.size && body == o.body;
  }
};

void
scan(const std::string &dir, std::map<std::string, object> *out)
{
  DIR *d = opendir(dir.c_str());
  ASSERT_NE(nullptr, d) << dir;
  std::vector<std::string> names;
  while (struct dirent *de = readdir(d))
    if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
      names.push_back(de->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto &n : names) {
    std::string p = dir + "/" + n;
    struct stat st;
    ASSERT_EQ(0, lstat(p.c_str(), &st)) << p;
    object o{st.st_ino, st.st_mode, st.st_nlink, st.st_uid,
             st.st_gid, st.st_size, ""};
    if (S_ISREG(st.st_mode)) {
      o.body = read_file(p);
    } else if (S_ISLNK(st.st_mode)) {
      char buf[PATH_MAX];
      ssize_t len = readlink(p.c_str(), buf, sizeof buf);
      ASSERT_GE(len, 0) << p;
      o.body.assign(buf, size_t(len));
    } else if (S_ISDIR(st.st_mode)) {
      std::vector<std::string> sub;
      DIR *sd = opendir(p.c_str());
      ASSERT_NE(nullptr, sd) << p;
      while (struct dirent *de = readdir(sd))
        if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
          sub.push_back(de->d_name);
      closedir(sd);
      std::sort(sub.begin(), sub.end());
      for (const auto &s : sub)
        o.body += s + '\0';
    }
    (*out)[p] = o;
    if (S_ISDIR(st.st_mode))
      scan(p, out);
  }
}

// Tree order: a directory before its contents, names in byte order; the
// same as the byte order of paths in which '/' sorts before everything.
std::string
order_key(std::string p)
{
  std::replace(p.begin(), p.end(), '/', '\0');
  return p;
}

// Makes and changes trees; every choice comes from the seed.
class mutator {
 public:
  mutator(const std::string &top, unsigned seed) : top_(top), rnd_(seed) {}

  void populate()
  {
    for (int i = 0, n = 6 + pick(10); i < n; i++)
      add_any(top_, 0);
  }

  // One random change; returns a word for the failure message.
  std::string change()
  {
    std::vector<std::string> all = objects();
    std::vector<std::string> files, dirs;
    for (const auto &p : all) {
      struct stat st;
      lstat(p.c_str(), &st);
      if (S_ISREG(st.st_mode))
        files.push_back(p);
      else if (S_ISDIR(st.st_mode))
        dirs.push_back(p);
    }
    dirs.push_back(top_);
    switch (pick(9)) {
      case 0:
        if (files.empty())
          break;
        write_file(any(files), "changed " + std::to_string(pick(1000)));
        return "content";
      case 1:
        if (all.empty())
          break;
        // The owner keeps every right, so that the walk can go on as any
        // user.
        chmod(any(all).c_str(), mode_t(0700 + pick(0100)));
        return "mode";
      case 2:
        if (geteuid() != 0 || all.empty())
          break;  // only root may give a file away
        lchown(any(all).c_str(), uid_t(1000 + pick(50)), gid_t(pick(50)));
        return "owner";
      case 3:
        if (files.empty())
          break;
        link(any(files).c_str(), fresh(any(dirs)).c_str());
        return "hard link";
      case 4:
        symlink(("target" + std::to_string(pick(5))).c_str(),
                fresh(any(dirs)).c_str());
        return "symbolic link";
      case 5: add_any(any(dirs), 2); return "new";
      case 6:
        if (all.empty())
          break;
        remove_tree(any(all));
        return "deleted";
      case 7: {
        if (all.empty())
          break;
        std::string from = any(all), to = fresh(any(dirs));
        if (to.compare(0, from.size() + 1, from + "/") == 0)
          break;  // not into itself
        rename(from.c_str(), to.c_str());
        return "renamed";
      }
      case 8:
        if (files.empty())
          break;
        // Same size, other bytes: only the digest tells.
        {
          std::string f = any(files), body = read_file(f);
          if (body.empty())
            break;
          body[size_t(pick(int(body.size())))] ^= 1;
          write_file(f, body);
        }
        return "same size";
    }
    return "nothing";
  }

 private:
  int pick(int n) { return int(rnd_() % unsigned(n)); }

  template <class T>
  const T &any(const std::vector<T> &v)
  {
    return v[size_t(pick(int(v.size())))];
  }

  std::string fresh(const std::string &dir)
  {
    static const char *const stems[] = {"a", "b", "a-b", "a.b", "ab", "z"};
    return dir + "/" + stems[pick(6)] + std::to_string(serial_++);
  }

  void add_any(const std::string &dir, int depth)
  {
    std::string p = fresh(dir);
    int kind = pick(depth < 2 ? 5 : 3);
    if (kind <= 1) {
      write_file(p, std::string(size_t(pick(40)), char('a' + pick(26))));
    } else if (kind == 2) {
      symlink(("t" + std::to_string(pick(3))).c_str(), p.c_str());
    } else {
      mkdir(p.c_str(), 0755);
      for (int i = 0, n = pick(4); i < n; i++)
        add_any(p, depth + 1);
    }
  }

  std::vector<std::string> objects()
  {
    std::map<std::string, object> m;
    scan(top_, &m);
    std::vector<std::string> out;
    for (const auto &kv : m)
      out.push_back(kv.first);
    return out;
  }

  std::string top_;
  std::mt19937 rnd_;
  int serial_ = 0;
};

class ChangeProperty : public RealTmpDirTest {
 protected:
  // Builds db on one thread, and again on several, which must write the
  // same bytes.
  void snapshot(const std::string &policy, const std::string &db)
  {
    for (const char *threads : {"1", "4"}) {
      std::string name = threads[0] == '1' ? db : db + ".4";
      prog_opts o;
      o.env = {std::string("KAVBUILD_THREADS=") + threads};
      prog_result r =
          run_prog({KAVBUILD_PATH, "-c", policy, "-d", name}, dir_, o);
      ASSERT_EQ(0, r.status) << r.err;
      ASSERT_EQ("", r.err);
    }
    ASSERT_EQ(read_file(path(db)), read_file(path(db + ".4")))
        << db << ": four threads wrote other bytes than one";
  }
};

TEST_F(ChangeProperty, DifferencesAreExactlyTheChangedPaths) {
  bool root = geteuid() == 0;
  if (!root)
    std::cerr << "not root: owner changes are left out\n";
  for (unsigned seed = 1; seed <= 6; seed++) {
    std::string round = std::to_string(seed);
    std::string top = path("tree" + round);
    ASSERT_EQ(0, mkdir(top.c_str(), 0755));
    std::string policy = path("policy" + round);
    write_file(policy, confined_policy(top, "@NO:@T\n+F:I\n"));
    mutator m(top, seed);
    m.populate();
    std::map<std::string, object> before, after;
    scan(top, &before);
    snapshot(policy, "old" + round);

    std::string done;
    for (int i = 0, n = 1 + int(seed * 5 % 8); i < n; i++)
      done += m.change() + " ";
    scan(top, &after);
    snapshot(policy, "new" + round);

    std::map<std::string, std::pair<char, std::string>> want;  // by key
    for (const auto &kv : before) {
      auto it = after.find(kv.first);
      if (it == after.end())
        want[order_key(kv.first)] = {'D', kv.first};
      else if (!(it->second == kv.second))
        want[order_key(kv.first)] = {'C', kv.first};
    }
    for (const auto &kv : after)
      if (before.count(kv.first) == 0)
        want[order_key(kv.first)] = {'N', kv.first};

    std::string diff = "diff" + round;
    prog_result c =
        run_prog({KAVCMP_PATH, "-d", diff, "old" + round, "new" + round}, dir_);
    ASSERT_EQ(0, c.status) << c.err;
    prog_result s = run_prog({KAVSHOW_PATH, "-p", "-M", "", diff}, dir_);
    ASSERT_EQ(0, s.status) << s.err;
    // Headers are "letter mask path"; each record line is empty under -M "".
    std::vector<std::pair<char, std::string>> got;
    size_t at = 0;
    while (at < s.out.size()) {
      size_t end = s.out.find('\n', at);
      std::string line = s.out.substr(at, end - at);
      at = end + 1;
      if (line.size() > 12 && line[1] == ' ' && line[11] == ' ')
        got.push_back({line[0], line.substr(12)});
    }
    std::vector<std::pair<char, std::string>> expected;
    for (const auto &kv : want)
      expected.push_back(kv.second);
    EXPECT_EQ(expected, got) << "seed " << seed << ", changes: " << done;
  }
}

}  // namespace
