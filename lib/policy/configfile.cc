// configfile.cc: the policy file parser. One pass, one line at a time: a
// node statement opens a list, an entry statement fills the work entry, the
// keyword statements after it add selectors, and each block is handed on
// when the line that ends it has been read.
#include "policy/configfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "db/db.h"
#include "diag/diag.h"
#include "port/port.h"

namespace {

configfile_error last_error = {0, CONFIGFILE_E_NONE, 0, ""};

// A line holds at most this many characters before its newline.
constexpr size_t LINE_CHARS = CONFIGFILE_LINE_MAX - 2;

void
set_error(int32_t kind, int32_t err, const char *text)
{
  last_error.ce_kind = kind;
  last_error.ce_errno = err;
  copy_cut(last_error.ce_text, text);
}

// Returns -1 so that every failure in the parser is one statement. The
// record keeps errno: closing the file and freeing the work entry on the
// way out may change it before the caller prints the record.
int
fail_sys(const char *text)
{
  set_error(CONFIGFILE_E_SYSTEM, errno, text);
  return -1;
}

int
fail_syntax(const char *text)
{
  set_error(CONFIGFILE_E_SYNTAX, 0, text);
  return -1;
}

}  // namespace

const configfile_error *
configfile_last_error()
{
  return &last_error;
}

void
configfile_perror()
{
  // Through the message family, so that the text (the policy file's name,
  // for one) is escaped like every other message's. errno is kept.
  if (last_error.ce_kind == CONFIGFILE_E_SYSTEM) {
    int e = errno;
    errno = last_error.ce_errno;
    warn_sys1(last_error.ce_text);
    errno = e;
  } else if (last_error.ce_kind == CONFIGFILE_E_SYNTAX) {
    char where[32];
    snprintf(where, sizeof where, "line %d", int(last_error.ce_line));
    warn_msg2(where, last_error.ce_text);
  }
}

int
configfile_readline(FILE *f, char buf[CONFIGFILE_LINE_MAX])
{
  // Read a byte at a time rather than with fgets, so that a line too long
  // for the buffer is seen whole and refused, never taken in pieces whose
  // second half could start a statement of its own.
  for (;;) {
    size_t len = 0;
    int c = getc(f);
    if (c == EOF) {
      if (ferror(f))
        return fail_sys("configfile_readline()");
      return 1;
    }
    last_error.ce_line++;
    while (c != EOF && c != '\n') {
      if (len == LINE_CHARS)
        return fail_syntax("line too long");
      buf[len++] = static_cast<char>(c);
      c = getc(f);
    }
    if (c == EOF && ferror(f))
      return fail_sys("configfile_readline()");
    buf[len] = '\0';
    // Comments, blank lines and indented lines are skipped whole.
    if (len == 0 || buf[0] == '\t' || buf[0] == ' ' || buf[0] == '#' ||
        buf[0] == ';')
      continue;
    return 0;
  }
}

void
configfile_split(char *line, char **key, char **value)
{
  *key = line;
  char *colon = strchr(line, ':');
  if (colon == nullptr) {
    *value = line + strlen(line);
    return;
  }
  *colon = '\0';
  *value = colon + 1;
}

namespace {

bool
is_num_char(char c)
{
  return (c >= '0' && c <= '9') || c == '-';
}

}  // namespace

char *
configfile_numtrim(char *value)
{
  while (*value != '\0' && !is_num_char(*value))
    value++;
  size_t n = strlen(value);
  while (n > 0 && !is_num_char(value[n - 1]))
    value[--n] = '\0';
  return value;
}

namespace {

// Reads a trimmed range value; false when it has none of the five forms.
// Numbers wrap modulo 2^32, as the language defines.
bool
range_read(const char *v, pclent_range *r)
{
  r->pr_low = r->pr_high = 0;
  r->pr_kind = 0;
  auto digits = [](const char *p, uint32_t *out) {
    for (; *p != '\0'; p++) {
      if (*p < '0' || *p > '9')
        return false;
      *out = *out * 10u + static_cast<uint32_t>(*p - '0');
    }
    return true;
  };
  if (*v == '\0')
    return false;
  if (*v == '-') {
    r->pr_kind = PCLENT_R_UPTO;
    return digits(v + 1, &r->pr_high);
  }
  for (; *v >= '0' && *v <= '9'; v++)
    r->pr_low = r->pr_low * 10u + static_cast<uint32_t>(*v - '0');
  if (*v == '\0') {
    r->pr_kind = PCLENT_R_EXACT;
    return true;
  }
  if (*v != '-')
    return false;
  if (v[1] == '\0') {
    r->pr_kind = PCLENT_R_FROM;
    return true;
  }
  r->pr_kind = PCLENT_R_BETWEEN;
  return digits(v + 1, &r->pr_high);
}

bool
is_blank(char c)
{
  return c == ' ' || c == '\t';
}

// The key and value of an entry statement ("+" already checked).
int
entry_start(pclent *e, const char *key, const char *value)
{
  e->pe_flags = PCLENT_RECORD;
  for (const char *p = key + 1; *p != '\0'; p++) {
    if (is_blank(*p))
      continue;
    if (*p == 'N') {
      e->pe_flags = 0;
      continue;
    }
    // Unlike mask_parse, the set letters C and F add to what came before.
    uint32_t bits = db_attr_find(DB_ATTRS, *p) | db_attr_find(DB_ATTR_SETS, *p);
    if (bits == 0)
      return fail_syntax("bad mask");
    e->pe_mask = static_cast<uint16_t>(e->pe_mask | bits);
  }
  for (const char *p = value; *p != '\0'; p++) {
    if (*p == 'I')
      e->pe_flags |= PCLENT_INHERIT;
    else if (*p == 'S')
      e->pe_flags |= PCLENT_PRUNE;
    else if (!is_blank(*p))
      return fail_syntax("bad options");
  }
  return 0;
}

int
keyword(pclent *e, const char *key, char *value)
{
  std::string_view k(key);
  if (k == "name") {
    if (pclent_name_add(e, value) == nullptr)
      return fail_sys("pclent_name_add()");
  } else if (k == "namere") {
    int code = 0;
    if (pclent_addename(e, value, &code) == nullptr) {
      if (code != 0 && code != REG_ESPACE)
        return fail_syntax("invalid regular expression");
      return fail_sys("pclent_addename()");
    }
  } else if (k == "gid" || k == "uid") {
    bool gid = k == "gid";
    pclent_range r;
    if (!range_read(configfile_numtrim(value), &r))
      return fail_syntax(gid ? "bad gid" : "bad uid");
    if (gid ? pclent_egid_add(e, &r) == nullptr
            : pclent_euid_add(e, &r) == nullptr)
      return fail_sys(gid ? "pclent_egid_add()" : "pclent_euid_add()");
  } else if (k == "type") {
    uint8_t bits = 0;
    for (const char *p = value; *p != '\0'; p++) {
      if (is_blank(*p))
        continue;
      uint8_t bit = pcl_type_bit(*p);
      if (bit == 0)
        return fail_syntax("bad type");
      bits = static_cast<uint8_t>(bits | bit);
    }
    pclent_type_set(e, bits);
  } else {
    return fail_syntax("bad keyword");
  }
  return 0;
}

// The node statement's key after "@": its inheritance kind, or unset.
uint8_t
inheritance_kind(const char *word)
{
  std::string_view w(word);
  if (w == "NO")
    return PCL_INH_NO;
  if (w == "PRE")
    return PCL_INH_PRE;
  if (w == "POST")
    return PCL_INH_POST;
  return PCL_INH_UNSET;
}

}  // namespace

using file_ptr = std::unique_ptr<FILE, decltype(&fclose)>;
using pclent_ptr = std::unique_ptr<pclent, decltype(&pclent_free)>;
using pcl_ptr = std::unique_ptr<pcl, decltype(&pcl_free)>;

namespace {

// The node blocks, from the first significant line to the end of the file.
int
parse_blocks(FILE *f, pclt *t, pclent *e)
{
  char line[CONFIGFILE_LINE_MAX];
  char path[DB_PATH_MAX + 1];
  char *key, *value;

  int r = configfile_readline(f, line);
  while (r == 0) {
    pcl_ptr l(pcl_init(), &pcl_free);
    if (l == nullptr)
      return fail_sys("pcl_init()");
    configfile_split(line, &key, &value);
    if (key[0] != '@')
      return fail_syntax("'@' (node) is expected");
    l->pl_kind = inheritance_kind(key + 1);
    if (l->pl_kind == PCL_INH_UNSET)
      return fail_syntax("bad inheritance");
    if (value[0] != '/' || strlen(value) > DB_PATH_MAX)
      return fail_syntax("invalid path");
    copy_cut(path, value);

    r = configfile_readline(f, line);
    while (r == 0 && line[0] != '@') {
      pclent_clear(e);
      configfile_split(line, &key, &value);
      if (key[0] != '+')
        return fail_syntax("'+' (entry) is expected");
      if (entry_start(e, key, value) < 0)
        return -1;
      r = configfile_readline(f, line);
      while (r == 0 && line[0] != '+' && line[0] != '@') {
        configfile_split(line, &key, &value);
        if (keyword(e, key, value) < 0)
          return -1;
        r = configfile_readline(f, line);
      }
      if (r < 0)
        return -1;
      if (pcl_add(l.get(), e) == nullptr)
        return fail_sys("pcl_add()");
    }
    if (r < 0)
      return -1;
    if (pclt_add(t, path, l.get()) == nullptr)
      return fail_sys("pclt_add()");
    l.release();
  }
  return r < 0 ? -1 : 0;
}

}  // namespace

int
configfile_parse(const char *path, pclt *t)
{
  last_error.ce_line = 0;
  last_error.ce_kind = CONFIGFILE_E_NONE;
  last_error.ce_errno = 0;
  last_error.ce_text[0] = '\0';

  file_ptr f(fopen(path, "r"), &fclose);
  if (f == nullptr)
    return fail_sys(path);
  pclent_ptr e(pclent_init(), &pclent_free);
  if (e == nullptr)
    return fail_sys("pclent_init()");
  if (parse_blocks(f.get(), t, e.get()) < 0)
    return -1;

  // The merge and every lookup rely on the root having a list.
  if (pclt_root(t) == nullptr) {
    pcl_ptr l(pcl_init(), &pcl_free);
    if (l == nullptr)
      return fail_sys("pcl_init()");
    if (pclt_add(t, "/", l.get()) == nullptr)
      return fail_sys("pclt_add()");
    l.release();
  }
  if (pclt_merge(t) < 0)
    return fail_sys("pclt_merge()");
  return 0;
}
