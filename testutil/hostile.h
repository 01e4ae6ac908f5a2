// hostile.h: file names that a user who may create files in a watched
// directory would choose to forge or break the lines of a report.
#pragma once
#include <string>
#include <vector>

// A newline followed by the text of a fake record (with U+2215 DIVISION
// SLASH, which reads as a slash), a tab, backslashes before digits that
// read like an escape, the byte 0x7F, other control bytes, invalid UTF-8,
// and UTF-8 that must stay as it is.
inline std::vector<std::string>
hostile_names()
{
  return {
      "x\n100644 5 0\nD ilugmsftc \xe2\x88\x95"
      "etc\xe2\x88\x95shadow",
      "tab\there",
      "back\\012slash\\",
      "del\x7f",
      "ctl\x01\x1b[2J\r",
      "bad\xff\xc3(utf8\x80",
      "caf\xc3\xa9 \xe2\x9c\x93"};
}
