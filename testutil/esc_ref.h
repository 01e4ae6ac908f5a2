// esc_ref.h: printed names read back into their bytes, written apart from
// lib/diag/esc.cc as the reference that the tests and the fuzz target hold
// the programs' output to, and the names a hostile user would choose.
#pragma once
#include <string>
#include <vector>

// The bytes that the printed name text stands for, in *out. False when
// text is not in the escaped form: it holds a byte below 0x20 or 0x7F,
// or a backslash that does not start three octal digits of one byte.
inline bool
esc_ref_decode(const std::string &text, std::string *out)
{
  out->clear();
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f)
      return false;
    if (c != '\\') {
      out->push_back(char(c));
      continue;
    }
    if (text.size() - i < 4 || text[i + 1] < '0' || text[i + 1] > '3')
      return false;
    int v = 0;
    for (size_t k = i + 1; k < i + 4; k++) {
      if (text[k] < '0' || text[k] > '7')
        return false;
      v = v * 8 + (text[k] - '0');
    }
    out->push_back(char(v));
    i += 3;
  }
  return true;
}

// File names that try to forge or break report lines: a newline followed
// by the text of a fake record (with U+2215 DIVISION SLASH, which reads as
// a slash), a tab, backslashes before digits that read like an escape, the
// byte 0x7F, other control bytes, invalid UTF-8, and UTF-8 that must stay
// as it is.
inline std::vector<std::string>
hostile_names()
{
  return {"x\n100644 5 0\nD ilugmsftc \xe2\x88\x95" "etc\xe2\x88\x95shadow",
          "tab\there",
          "back\\012slash\\",
          "del\x7f",
          "ctl\x01\x1b[2J\r",
          "bad\xff\xc3(utf8\x80",
          "caf\xc3\xa9 \xe2\x9c\x93"};
}
