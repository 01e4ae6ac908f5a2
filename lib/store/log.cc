// log.cc: the acceptance log's line, written and read back. The reader
// takes the JSON this writer writes and no more than it needs: one flat
// object whose values are strings or arrays of strings. In a string only
// the escapes \" \\ and \/ are taken; \b \f \n \r \t and \uXXXX are
// refused, as are raw control bytes, since a printed form (esc.h) holds
// no control character and the writer escapes nothing else.
#include "store/log.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "diag/esc.h"
#include "store/store.h"
#include "text/text.h"

namespace {

constexpr size_t TIME_LEN = 20;  // 2026-12-09T10:15:00Z

std::string
time_text(int64_t when)
{
  time_t t = time_t(when);
  struct tm tm;
  char buf[32] = "";
  if (int64_t(t) == when && gmtime_r(&t, &tm) != nullptr)
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// The time as time_text writes it, and only so.
bool
time_parse(const std::string &s, int64_t *when)
{
  static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (s.size() != TIME_LEN)
    return false;
  for (size_t i = 0; i < TIME_LEN; i++)
    if (shape[i] == 'd' ? s[i] < '0' || s[i] > '9' : s[i] != shape[i])
      return false;
  struct tm tm = {};
  tm.tm_year = atoi(s.c_str()) - 1900;
  tm.tm_mon = atoi(s.c_str() + 5) - 1;
  tm.tm_mday = atoi(s.c_str() + 8);
  tm.tm_hour = atoi(s.c_str() + 11);
  tm.tm_min = atoi(s.c_str() + 14);
  tm.tm_sec = atoi(s.c_str() + 17);
  *when = int64_t(timegm(&tm));
  // 2026-02-30 would come back as March the 2nd.
  return time_text(*when) == s;
}

// A printed form: no control byte, each backslash and three octal digits
// of a byte, well-formed UTF-8.
bool
printed(const std::string &s)
{
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  size_t n = s.size();
  for (size_t i = 0; i < n;) {
    if (p[i] == '\\') {
      if (n - i < 4 || p[i + 1] < '0' || p[i + 1] > '3' || p[i + 2] < '0' ||
          p[i + 2] > '7' || p[i + 3] < '0' || p[i + 3] > '7')
        return false;
      i += 4;
    } else if (p[i] < 0x20 || p[i] == 0x7f) {
      return false;
    } else if (p[i] < 0x80) {
      i++;
    } else {
      size_t len = esc_utf8_len(p + i, n - i);
      if (len == 0)
        return false;
      i += len;
    }
  }
  return true;
}

bool
hex64(const std::string &s)
{
  if (s.size() != 64)
    return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return false;
  return true;
}

struct reader {
  std::string_view r_s;
  size_t r_at;
  std::string *r_err;
};

bool
fail(reader *r, const char *what)
{
  *r->r_err = "byte " + std::to_string(r->r_at + 1) + ": " + what;
  return false;
}

void
skip_space(reader *r)
{
  while (r->r_at < r->r_s.size() &&
         (r->r_s[r->r_at] == ' ' || r->r_s[r->r_at] == '\t'))
    r->r_at++;
}

// Whether the next byte, after any space, is c; taken when it is.
bool
take(reader *r, char c)
{
  skip_space(r);
  if (r->r_at < r->r_s.size() && r->r_s[r->r_at] == c) {
    r->r_at++;
    return true;
  }
  return false;
}

bool
read_string(reader *r, std::string *out)
{
  out->clear();
  if (!take(r, '"'))
    return fail(r, "want a string");
  while (r->r_at < r->r_s.size()) {
    unsigned char c = static_cast<unsigned char>(r->r_s[r->r_at]);
    if (c == '"') {
      r->r_at++;
      return true;
    }
    if (c < 0x20)
      return fail(r, "a control byte in a string");
    if (c == '\\') {
      char e = r->r_at + 1 < r->r_s.size() ? r->r_s[r->r_at + 1] : '\0';
      if (e != '"' && e != '\\' && e != '/')
        return fail(r, "an escape other than \\\" \\\\ or \\/");
      *out += e;
      r->r_at += 2;
    } else {
      *out += char(c);
      r->r_at++;
    }
  }
  return fail(r, "the line ends in a string");
}

// A value: a string into *text, or an array of strings into *list.
bool
value(reader *r, std::string *text, std::vector<std::string> *list, bool *array)
{
  *array = take(r, '[');
  if (!*array)
    return read_string(r, text);
  list->clear();
  if (take(r, ']'))
    return true;
  do {
    list->emplace_back();
    if (!read_string(r, &list->back()))
      return false;
  } while (take(r, ','));
  return take(r, ']') || fail(r, "want \",\" or \"]\"");
}

enum member {
  M_TIME,
  M_USER,
  M_MODE,
  M_TEXT,
  M_PATHS,
  M_BASELINE,
  M_OLDER,
  M_NEWER,
  M_COUNT
};
constexpr const char *MEMBERS[M_COUNT] = {
    "time",  "user",     "mode",         "text",
    "paths", "baseline", "older_sha256", "newer_sha256"};

// What a member's value must be beyond its type, or null when it is.
const char *
check(int m, const std::string &v, st_accept *a)
{
  switch (m) {
    case M_TIME:
      return time_parse(v, &a->sa_time) ? nullptr : "not a time as written";
    case M_MODE:
      return v == "all" || v == "explained" || v == "path"
                 ? nullptr
                 : "not all, explained or path";
    case M_BASELINE:
      return st_is_baseline(v) ? nullptr : "not a baseline's name";
    case M_OLDER:
    case M_NEWER: return hex64(v) ? nullptr : "not 64 lowercase hex digits";
    default: return printed(v) ? nullptr : "not a printed form";
  }
}

}  // namespace

std::string
st_log_line(const st_accept &a)
{
  std::string line = "{\"time\":\"" + time_text(a.sa_time) + "\"";
  line += ",\"user\":" + text_json(a.sa_user);
  line += ",\"mode\":" + text_json(a.sa_mode);
  line += ",\"text\":" + text_json(a.sa_text);
  line += ",\"paths\":[";
  const char *sep = "";
  for (const std::string &p : a.sa_paths) {
    line += sep + text_json(p);
    sep = ",";
  }
  line += "],\"baseline\":" + text_json(a.sa_baseline);
  line += ",\"older_sha256\":\"" + a.sa_older_sha256 +
          "\",\"newer_sha256\":\"" + a.sa_newer_sha256 + "\"}\n";
  return line;
}

bool
st_log_parse(std::string_view line, st_accept *a, std::string *err)
{
  reader r = {line, 0, err};
  *a = st_accept();
  std::string *texts[M_COUNT] = {
      nullptr, &a->sa_user,     &a->sa_mode,         &a->sa_text,
      nullptr, &a->sa_baseline, &a->sa_older_sha256, &a->sa_newer_sha256};
  bool seen[M_COUNT] = {};
  std::vector<std::string> names;
  if (!take(&r, '{'))
    return fail(&r, "not a JSON object");
  if (!take(&r, '}')) {
    do {
      std::string name, text;
      std::vector<std::string> list;
      bool array;
      if (!read_string(&r, &name))
        return false;
      for (const std::string &n : names)
        if (n == name)
          return fail(&r,
                      ("a second member \"" + text_esc(name) + "\"").c_str());
      names.push_back(name);
      if (!take(&r, ':'))
        return fail(&r, "want \":\"");
      if (!value(&r, &text, &list, &array))
        return false;
      int m = 0;
      while (m < M_COUNT && name != MEMBERS[m])
        m++;
      if (m == M_COUNT)
        continue;  // a member of a later version
      seen[m] = true;
      std::string what = std::string(MEMBERS[m]) + ": ";
      if (array != (m == M_PATHS))
        return fail(
            &r, (what + (array ? "want a string" : "want an array")).c_str());
      const char *bad = nullptr;
      if (m == M_PATHS) {
        for (const std::string &p : list)
          if (bad == nullptr)
            bad = check(m, p, a);
        a->sa_paths = std::move(list);
      } else {
        bad = check(m, text, a);
        if (texts[m] != nullptr)
          *texts[m] = std::move(text);
      }
      if (bad != nullptr)
        return fail(&r, (what + bad).c_str());
    } while (take(&r, ','));
    if (!take(&r, '}'))
      return fail(&r, "want \",\" or \"}\"");
  }
  skip_space(&r);
  if (r.r_at != line.size())
    return fail(&r, "bytes after the object");
  for (int m = 0; m < M_COUNT; m++)
    if (!seen[m]) {
      *err = std::string("no member \"") + MEMBERS[m] + "\"";
      return false;
    }
  return true;
}

bool
st_log_last(std::string_view log, std::string_view *line)
{
  *line = std::string_view();
  if (log.empty())
    return true;
  if (log.back() != '\n')
    return false;
  size_t nl = log.rfind('\n', log.size() - 2);
  size_t from = nl == std::string_view::npos || log.size() < 2 ? 0 : nl + 1;
  *line = log.substr(from, log.size() - 1 - from);
  return true;
}
