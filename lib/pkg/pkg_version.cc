// pkg_version.cc: the order of Debian version strings, as the package
// manager sorts them: an epoch, then the upstream version and the
// revision, each compared as alternating runs of non-digits and digits.
#include <cctype>
#include <cstdint>

#include "pkg/pkg.h"

namespace {

// A character's weight in the non-digit runs: '~' before the end, which
// is before letters, which are before everything else.
int
weight(char c)
{
  if (c == '~')
    return -1;
  if (isdigit(static_cast<unsigned char>(c)))
    return 0;
  if (isalpha(static_cast<unsigned char>(c)))
    return static_cast<unsigned char>(c);
  return static_cast<unsigned char>(c) + 256;
}

int
part_cmp(std::string_view a, std::string_view b)
{
  size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    while ((i < a.size() && !isdigit(static_cast<unsigned char>(a[i]))) ||
           (j < b.size() && !isdigit(static_cast<unsigned char>(b[j])))) {
      int wa = i < a.size() ? weight(a[i]) : 0;
      int wb = j < b.size() ? weight(b[j]) : 0;
      if (wa != wb)
        return wa < wb ? -1 : 1;
      i++;
      j++;
    }
    while (i < a.size() && a[i] == '0')
      i++;
    while (j < b.size() && b[j] == '0')
      j++;
    // The longer run of digits is the larger number; of two as long, the
    // first digit that differs decides.
    size_t da = i, db = j;
    while (da < a.size() && isdigit(static_cast<unsigned char>(a[da])))
      da++;
    while (db < b.size() && isdigit(static_cast<unsigned char>(b[db])))
      db++;
    if (da - i != db - j)
      return da - i < db - j ? -1 : 1;
    for (; i < da; i++, j++)
      if (a[i] != b[j])
        return a[i] < b[j] ? -1 : 1;
  }
  return 0;
}

struct version_parts {
  uint64_t epoch = 0;
  std::string_view upstream, revision;
};

version_parts
split(std::string_view v)
{
  version_parts p;
  size_t colon = v.find(':');
  if (colon != std::string_view::npos) {
    for (char c : v.substr(0, colon))
      p.epoch = isdigit(static_cast<unsigned char>(c))
                    ? p.epoch * 10 + uint64_t(c - '0')
                    : p.epoch;
    v = v.substr(colon + 1);
  }
  size_t dash = v.rfind('-');
  p.upstream = dash == std::string_view::npos ? v : v.substr(0, dash);
  p.revision = dash == std::string_view::npos ? std::string_view()
                                              : v.substr(dash + 1);
  return p;
}

}  // namespace

int
pkg_version_cmp(std::string_view a, std::string_view b)
{
  version_parts x = split(a), y = split(b);
  if (x.epoch != y.epoch)
    return x.epoch < y.epoch ? -1 : 1;
  int r = part_cmp(x.upstream, y.upstream);
  return r != 0 ? r : part_cmp(x.revision, y.revision);
}
