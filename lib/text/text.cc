// text.cc: the printed forms of a path. Nearly every path is plain ASCII,
// which goes out as it is; only the others are escaped.
#include "text/text.h"

#include <cstring>
#include <memory>

#include "diag/esc.h"

namespace {

struct change_word {
  uint8_t kind;
  const char *word;
};
constexpr change_word CHANGE_WORDS[] = {
    {DB_KIND_SNAP, "snapshot"},
    {DB_KIND_CHANGED, "changed"},
    {DB_KIND_NEW, "new"},
    {DB_KIND_DELETED, "deleted"},
};

// A byte that goes into the JSON string as it is, escaped or not: printable
// ASCII but the backslash and the double quote.
bool
plain_byte(unsigned char c)
{
  return c >= 0x20 && c < 0x7f && c != '\\' && c != '"';
}

// s as a JSON string at p, which has room for text_json_bound(n); esc
// has room for ESC_GROW * n bytes.
char *
put_json(char *p, const char *s, size_t n, char *esc)
{
  *p++ = '"';
  size_t i = 0;
  while (i < n && plain_byte(static_cast<unsigned char>(s[i])))
    i++;
  if (i == n) {
    memcpy(p, s, n);
    p += n;
  } else {
    // The printed form's backslashes and double quotes get one each.
    size_t m = esc_bytes_utf8(s, n, esc);
    for (size_t k = 0; k < m; k++) {
      if (esc[k] == '\\' || esc[k] == '"')
        *p++ = '\\';
      *p++ = esc[k];
    }
  }
  *p++ = '"';
  return p;
}

}  // namespace

char *
text_json_path(char *p, const char *path)
{
  return text_json_bytes(p, path, strlen(path));
}

char *
text_json_bytes(char *p, const char *s, size_t n)
{
  if (n <= sizeof(db_frame::path)) {
    char esc[ESC_GROW * sizeof(db_frame::path)];
    return put_json(p, s, n, esc);
  }
  std::unique_ptr<char[]> esc(new char[ESC_GROW * n]);
  return put_json(p, s, n, esc.get());
}

std::string
text_json(std::string_view s)
{
  std::string out(text_json_bound(s.size()), '\0');
  out.resize(size_t(text_json_bytes(&out[0], s.data(), s.size()) - out.data()));
  return out;
}

std::string
text_esc(std::string_view s)
{
  std::string out(ESC_GROW * s.size(), '\0');
  out.resize(esc_bytes(s.data(), s.size(), &out[0]));
  return out;
}

const char *
text_change_word(uint8_t kind)
{
  for (const change_word &c : CHANGE_WORDS)
    if (c.kind == kind)
      return c.word;
  return nullptr;
}
