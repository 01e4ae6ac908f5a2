// policy_fuzz.cc: the policy parser on arbitrary bytes, then kavconf's dump
// of what it built and the matching the walk would do with it. A policy
// either loads or leaves one of the parser's messages with a line that
// exists.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "kavconf/dump.h"
#include "policy/configfile.h"

namespace {

const char *const syntax_texts[] = {
    "'@' (node) is expected",
    "bad inheritance",
    "invalid path",
    "'+' (entry) is expected",
    "bad mask",
    "bad options",
    "invalid regular expression",
    "bad gid",
    "bad uid",
    "bad type",
    "bad keyword",
    "line too long",
};
const char *const system_texts[] = {
    "pclent_init()",     "pcl_init()",        "configfile_readline()",
    "pclent_name_add()", "pclent_addename()", "pclent_egid_add()",
    "pclent_euid_add()", "pcl_add()",         "pclt_add()",
    "pclt_merge()",
};

bool
one_of(const char *text, const char *const *list, size_t n)
{
  for (size_t i = 0; i < n; i++)
    if (strcmp(text, list[i]) == 0)
      return true;
  return false;
}

// Names and types the walk would ask about in every directory.
void
match_all(const pcl *l, int inherited)
{
  static const char *const names[] = {"a",       "tmp", "lib.so", ".x",  "a.c",
                                      "core.12", "*",   "?",      "ab-c"};
  static const mode_t types[] = {S_IFREG, S_IFDIR, S_IFLNK,  S_IFIFO,
                                 S_IFCHR, S_IFBLK, S_IFSOCK, 0};
  struct stat st;
  memset(&st, 0, sizeof st);
  for (const char *name : names)
    for (mode_t t : types) {
      st.st_mode = t | 0644;
      st.st_uid = 1000;
      st.st_gid = 5;
      const pclent *e = pcl_match(l, name, &st, inherited);
      FUZZ_CHECK(e == nullptr ||
                 (e >= l->pl_ents && e < l->pl_ents + l->pl_count));
    }
}

int
check_node(ft_node *node, void *)
{
  const pcl *l = static_cast<const pcl *>(node->ftn_data);
  if (l != nullptr)
    match_all(l, 0);
  return 0;
}

// glibc's regcomp() needs memory and time exponential in the nesting of
// repetitions ("b++++...", "(a{1,100}){1,100}"): one such line of a policy
// takes gigabytes before it fails with REG_ESPACE. That is the library's
// cost, not the parser's, so such inputs are left out.
bool
costly_regex(const uint8_t *data, size_t size)
{
  std::string text(reinterpret_cast<const char *>(data), size);
  for (size_t at = 0; (at = text.find("namere:", at)) != std::string::npos;) {
    size_t end = text.find('\n', at);
    std::string value = text.substr(at, end - at);
    if (value.find('{') != std::string::npos)
      return true;
    auto repeat = [](char c) { return c == '+' || c == '*' || c == '?'; };
    for (size_t i = 1; i < value.size(); i++)
      if (repeat(value[i - 1]) && repeat(value[i]))
        return true;
    at = end;
  }
  return false;
}

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
  fuzz_quiet_stdout();
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (costly_regex(data, size))
    return 0;
  static fuzz_file file;
  file.set(data, size);
  int lines = 0;
  for (size_t i = 0; i < size; i++)
    lines += data[i] == '\n';
  if (size > 0 && data[size - 1] != '\n')
    lines++;

  pclt *t = pclt_init();
  FUZZ_CHECK(t != nullptr);
  errno = 0;
  int r = configfile_parse(file.name, t);
  int e = errno;
  const configfile_error *err = configfile_last_error();
  if (r == 0) {
    int inherited = -1;
    const pcl *root = pclt_lookup(t, "/", &inherited);
    FUZZ_CHECK(root != nullptr && inherited == 0);
    ft_traverse(t, pclt_print_node, nullptr);
    ft_traverse(t, check_node, nullptr);
    for (const char *dir : {"/", "/usr", "/usr/local/", "/etc/ssh", "/x/y/z"}) {
      const pcl *l = pclt_lookup(t, dir, &inherited);
      FUZZ_CHECK(l != nullptr && (inherited == 0 || inherited == 1));
      pcl_print(l, inherited);
      match_all(l, inherited);
    }
    fflush(stdout);
  } else {
    FUZZ_CHECK(r == -1);
    if (err->ce_kind == CONFIGFILE_E_SYNTAX) {
      FUZZ_CHECK(one_of(err->ce_text, syntax_texts,
                        sizeof syntax_texts / sizeof *syntax_texts));
      FUZZ_CHECK(err->ce_line >= 1 && err->ce_line <= lines);
    } else {
      FUZZ_CHECK(err->ce_kind == CONFIGFILE_E_SYSTEM);
      FUZZ_CHECK(one_of(err->ce_text, system_texts,
                        sizeof system_texts / sizeof *system_texts));
      FUZZ_CHECK(e != 0);
    }
  }
  pclt_free(t);
  return 0;
}
