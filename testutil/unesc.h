// unesc.h: the stored bytes of a printed name, for tests that read the
// names of a report back.
#pragma once
#include <string>

// Turns the escaped form of a name back into its bytes: each backslash
// starts exactly three octal digits, every other byte stands for itself.
// False when text is no such form: a backslash without three octal digits
// after it, a value above 0377, or a control byte or 0x7F left bare.
inline bool
unesc_name(const std::string &text, std::string *bytes)
{
  bytes->clear();
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f)
      return false;
    if (c != '\\') {
      *bytes += char(c);
      continue;
    }
    if (text.size() - i < 4)
      return false;
    unsigned v = 0;
    for (size_t k = i + 1; k <= i + 3; k++) {
      if (text[k] < '0' || text[k] > '7')
        return false;
      v = v << 3 | unsigned(text[k] - '0');
    }
    if (v > 0377)
      return false;
    *bytes += char(v);
    i += 3;
  }
  return true;
}
