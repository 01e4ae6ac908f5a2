// settings.cc: the settings file as NAME=VALUE lines. The grammar is the
// part of the shell's that the sample uses, so that every file the shell
// read as plain assignments reads the same here; whatever else a shell
// would do with a line (expand it, run it, join it to the next) is
// refused with the line's number.
#include "kavnightly/settings.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <map>

const char NT_DEFAULT_POLICY[] = KAV_POLICY_PATH;

namespace {

// The settings by name, and where each goes.
struct setting {
  const char *st_name;
  std::string nt_settings::*st_field;
};

constexpr setting SETTINGS[] = {
    {"KAV_POLICY", &nt_settings::ns_policy},
    {"KAV_DBDIR", &nt_settings::ns_dbdir},
    {"KAV_KEEP", &nt_settings::ns_keep_text},
    {"KAV_LOCKWAIT", &nt_settings::ns_lockwait_text},
    {"KAV_SIGNKEY", &nt_settings::ns_signkey},
    {"KAV_SIGNERS", &nt_settings::ns_signers},
    {"KAV_PRINCIPAL", &nt_settings::ns_principal},
    {"KAV_BINDIR", &nt_settings::ns_bindir},
    {"KAV_EXPLAIN", &nt_settings::ns_explain},
    {"KAV_PKGROOT", &nt_settings::ns_pkgroot},
    {"KAV_ARCHIVES", &nt_settings::ns_archives},
    {"KAV_FETCH", &nt_settings::ns_fetch_text},
};

// Names that change how the programs the job runs as root are loaded, or
// how a shell among them starts (besides LD_*).
constexpr const char *NOT_EXPORTED[] = {
    "GCONV_PATH",  "GLIBC_TUNABLES",
    "LOCPATH",     "NLSPATH",
    "HOSTALIASES", "ENV",
    "BASH_ENV",    "IFS",
    "CDPATH",      "SHELLOPTS",
    "BASHOPTS",    "PS4",
};

// What a shell would make something of in an unquoted value.
constexpr char UNQUOTED_NOT[] = "$`\\;&|<>()*?[]~{}'\"#";
// And inside double quotes.
constexpr char DOUBLE_NOT[] = "$`\\\"";

bool
is_blank(char c)
{
  return c == ' ' || c == '\t';
}

bool
is_name_start(char c)
{
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool
is_name_char(char c)
{
  return is_name_start(c) || (c >= '0' && c <= '9');
}

bool
starts_with(std::string_view s, std::string_view p)
{
  return s.substr(0, p.size()) == p;
}

// A byte for a message: itself when printable, else its number.
std::string
byte_text(char c)
{
  if (c > ' ' && c < 0x7f)
    return std::string(1, c);
  char buf[8];
  snprintf(buf, sizeof buf, "0x%02x", unsigned(static_cast<unsigned char>(c)));
  return buf;
}

// Why an exported name is refused, or "".
std::string
export_refused(const std::string &name)
{
  if (starts_with(name, "KAV_"))
    return name + " is a setting, not for the environment: drop \"export\"";
  if (name == "PATH" || name == "LC_ALL" || name == "SSH_ORIGINAL_COMMAND")
    return name + " may not be exported: kavnightly sets it itself";
  bool listed = starts_with(name, "LD_");
  for (const char *n : NOT_EXPORTED)
    listed = listed || name == n;
  if (listed)
    return name +
           " may not be exported: it would change how the programs kavnightly "
           "runs are loaded or start";
  return "";
}

// The value at the head of rest, which ends after it; false with *why.
bool
read_value(std::string_view *rest, const std::string &name, std::string *value,
           std::string *why)
{
  std::string_view r = *rest;
  value->clear();
  if (!r.empty() && (r[0] == '\'' || r[0] == '"')) {
    char q = r[0];
    size_t end = r.find(q, 1);
    if (end == std::string_view::npos) {
      *why = name + ": a " + q + " without the " + q + " that closes it";
      return false;
    }
    std::string_view v = r.substr(1, end - 1);
    if (q == '"') {
      size_t bad = v.find_first_of(DOUBLE_NOT);
      if (bad != std::string_view::npos) {
        *why = name + ": " + v[bad] +
               " inside double quotes, which only a shell would make sense "
               "of; put the value in single quotes";
        return false;
      }
    }
    value->assign(v);
    *rest = r.substr(end + 1);
    return true;
  }
  size_t end = 0;
  while (end < r.size() && !is_blank(r[end]))
    end++;
  std::string_view v = r.substr(0, end);
  size_t bad = v.find_first_of(UNQUOTED_NOT);
  if (bad != std::string_view::npos) {
    *why = name + ": " + v[bad] +
           " in a value, which only a shell would make sense of: the "
           "settings are read as NAME=VALUE, never run; quote a value "
           "that holds it";
    if (v[bad] == '#')
      *why = name +
             ": # in a value; put a blank before a comment, or quote the "
             "value";
    return false;
  }
  value->assign(v);
  *rest = r.substr(end);
  return true;
}

// One line, without its newline, already free of control characters.
bool
parse_line(std::string_view line, int lineno, nt_settings *s,
           std::map<std::string, int> *seen, std::string *why)
{
  size_t i = 0;
  while (i < line.size() && is_blank(line[i]))
    i++;
  std::string_view r = line.substr(i);
  if (r.empty() || r[0] == '#')
    return true;
  bool exported = false;
  if (starts_with(r, "export") && r.size() > 6 && is_blank(r[6])) {
    exported = true;
    r.remove_prefix(6);
    while (!r.empty() && is_blank(r[0]))
      r.remove_prefix(1);
  }
  size_t n = 0;
  if (!r.empty() && is_name_start(r[0]))
    while (n < r.size() && is_name_char(r[n]))
      n++;
  if (n == 0 || n == r.size() || r[n] != '=') {
    *why = exported ? "want \"export NAME=VALUE\", with no blank around the ="
                    : "want NAME=VALUE (no blank around the =), export "
                      "NAME=VALUE, a comment or a blank line";
    return false;
  }
  std::string name(r.substr(0, n));
  r.remove_prefix(n + 1);
  std::string value;
  if (!read_value(&r, name, &value, why))
    return false;
  size_t b = 0;
  while (b < r.size() && is_blank(r[b]))
    b++;
  if (b < r.size() && (b == 0 || r[b] != '#')) {
    *why = name + ": \"" + std::string(r.substr(b)) +
           "\" after the value: one setting a line, and a comment only "
           "after a blank";
    return false;
  }
  std::string *field = nullptr;
  if (exported) {
    *why = export_refused(name);
    if (!why->empty())
      return false;
  } else {
    for (const setting &st : SETTINGS)
      if (name == st.st_name)
        field = &(s->*st.st_field);
    if (field == nullptr) {
      *why = starts_with(name, "KAV_")
                 ? name + ": no such setting (see kavnightly(8))"
                 : name +
                       ": not a setting of kavnightly; to pass it to the "
                       "programs it runs, export it";
      return false;
    }
  }
  auto at = seen->find(name);
  if (at != seen->end()) {
    *why = name + " is set again; line " + std::to_string(at->second) +
           " set it first";
    return false;
  }
  (*seen)[name] = lineno;
  if (exported)
    s->ns_exports.emplace_back(name, value);
  else
    *field = value;
  return true;
}

// A decimal number, leading zeros and all, as the shell's decimal();
// false when it holds anything else.
bool
read_decimal(const std::string &text, long long *n)
{
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  size_t z = text.find_first_not_of('0');
  std::string digits = z == std::string::npos ? "0" : text.substr(z);
  *n = digits.size() > 12 ? LLONG_MAX : std::stoll(digits);
  return true;
}

}  // namespace

bool
nt_settings_parse(const std::string &file, std::string_view text,
                  nt_settings *s, std::string *err)
{
  std::map<std::string, int> seen;
  int lineno = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    lineno++;
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    std::string why;
    if (line.size() > NT_LINE_MAX) {
      why = "a line longer than " + std::to_string(NT_LINE_MAX) + " bytes";
    } else {
      for (size_t i = 0; i < line.size() && why.empty(); i++) {
        char c = line[i];
        if (c == '\0')
          why = "a NUL byte: not a text file";
        else if (c == '\r')
          why =
              "a carriage return: the file has DOS line ends; write it "
              "with Unix ones";
        else if ((static_cast<unsigned char>(c) < ' ' && c != '\t') ||
                 c == 0x7f)
          why = "a control character, " + byte_text(c);
      }
    }
    if (why.empty())
      parse_line(line, lineno, s, &seen, &why);
    if (!why.empty()) {
      *err = file + ":" + std::to_string(lineno) + ": " + why;
      return false;
    }
  }
  return true;
}

bool
nt_settings_check(nt_settings *s, std::string *err)
{
  long long n;
  if (!read_decimal(s->ns_keep_text, &n)) {
    *err = "KAV_KEEP=" + s->ns_keep_text + ": want a number of snapshots";
    return false;
  }
  if (n < 1) {
    *err = "KAV_KEEP=0: want at least one snapshot";
    return false;
  }
  if (n > INT_MAX) {
    *err = "KAV_KEEP=" + s->ns_keep_text +
           ": want a number of snapshots up to " + std::to_string(INT_MAX);
    return false;
  }
  s->ns_keep = int(n);
  if (!read_decimal(s->ns_lockwait_text, &n)) {
    *err = "KAV_LOCKWAIT=" + s->ns_lockwait_text + ": want a number of seconds";
    return false;
  }
  if (n > INT_MAX) {
    *err = "KAV_LOCKWAIT=" + s->ns_lockwait_text +
           ": want a number of seconds up to " + std::to_string(INT_MAX);
    return false;
  }
  s->ns_lockwait = int(n);
  // Half a signing set-up must not pass for a whole one.
  if (!s->ns_signkey.empty() && s->ns_signers.empty()) {
    *err =
        "KAV_SIGNKEY is set but KAV_SIGNERS is not: signatures could not be "
        "checked";
    return false;
  }
  if (s->ns_signkey.empty() && !s->ns_signers.empty()) {
    *err =
        "KAV_SIGNERS is set but KAV_SIGNKEY is not: snapshots would not be "
        "signed";
    return false;
  }
  const struct {
    const char *name;
    const std::string &value;
  } paths[] = {{"KAV_PKGROOT", s->ns_pkgroot},
               {"KAV_ARCHIVES", s->ns_archives}};
  for (const auto &p : paths) {
    if (!p.value.empty() && p.value[0] != '/') {
      *err = std::string(p.name) + "=" + p.value + ": want an absolute path";
      return false;
    }
  }
  if (s->ns_fetch_text != "yes" && s->ns_fetch_text != "no") {
    *err = "KAV_FETCH=" + s->ns_fetch_text + ": want yes or no";
    return false;
  }
  s->ns_fetch = s->ns_fetch_text == "yes";
  if (s->ns_explain != "auto" && s->ns_explain != "yes" &&
      s->ns_explain != "no") {
    *err = "KAV_EXPLAIN=" + s->ns_explain + ": want auto, yes or no";
    return false;
  }
  return true;
}
