// history.cc: what the host lists, and whether it goes on from what the
// store holds. The store never takes a rewritten or reset history for a
// new beginning: each such list is refused for the host.
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "kavcollect/collect.h"

namespace {

constexpr size_t NAME_MAX_LEN = 64;

bool
all_of(const std::string &s, size_t from, size_t to, const char *set)
{
  for (size_t i = from; i < to; i++)
    if (s[i] == '\0' || strchr(set, s[i]) == nullptr)
      return false;
  return true;
}

const char DIGITS[] = "0123456789";
const char HEX[] = "0123456789abcdef";
const char ALNUM[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

}  // namespace

bool
collect_snap_name(const std::string &name, uint32_t *num)
{
  // kavdb- 6 digits - then at least "Z".
  if (name.size() < 14 || name.size() > NAME_MAX_LEN ||
      name.compare(0, 6, "kavdb-") != 0 || name[12] != '-' ||
      name.back() != 'Z' || !all_of(name, 6, 12, DIGITS) ||
      !all_of(name, 13, name.size(), ALNUM))
    return false;
  *num = uint32_t(strtoul(name.substr(6, 6).c_str(), nullptr, 10));
  return true;
}

bool
collect_parse_list(const std::string &text, std::vector<snap_entry> *out,
                   std::string *err)
{
  out->clear();
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) {
      *err = "list: the last line is cut short";
      return false;
    }
    std::string line = text.substr(at, nl - at);
    at = nl + 1;
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    snap_entry e;
    if (sp2 == std::string::npos ||
        !collect_snap_name(line.substr(0, sp1), &e.se_num) ||
        sp2 - sp1 - 1 < 1 || sp2 - sp1 - 1 > 15 ||
        !all_of(line, sp1 + 1, sp2, DIGITS) || line.size() - sp2 - 1 != 64 ||
        !all_of(line, sp2 + 1, line.size(), HEX)) {
      *err = "list: not a snapshot line: line " +
             std::to_string(out->size() + 1);
      return false;
    }
    e.se_name = line.substr(0, sp1);
    e.se_size =
        strtoull(line.substr(sp1 + 1, sp2 - sp1 - 1).c_str(), nullptr, 10);
    e.se_sha = line.substr(sp2 + 1);
    if (!out->empty() && out->back().se_num >= e.se_num) {
      *err = "list: " + e.se_name + " does not come after " +
             out->back().se_name;
      return false;
    }
    out->push_back(std::move(e));
  }
  return true;
}

bool
collect_history(const std::vector<snap_entry> &held,
                const std::vector<snap_entry> &listed,
                std::vector<snap_entry> *fetch, std::string *err)
{
  fetch->clear();
  if (held.empty()) {
    *fetch = listed;
    return true;
  }
  std::map<uint32_t, const snap_entry *> by_num;
  for (const snap_entry &h : held)
    by_num[h.se_num] = &h;
  const snap_entry &newest = held.back();
  if (listed.empty()) {
    *err = "HISTORY RESET: the host lists no snapshot; the store holds up to " +
           newest.se_name;
    return false;
  }
  if (by_num.count(0) != 0 && listed.front().se_num != 0) {
    *err = "HISTORY RESET: the host no longer lists its baseline " +
           by_num[0]->se_name;
    return false;
  }
  for (const snap_entry &l : listed) {
    auto it = by_num.find(l.se_num);
    if (it != by_num.end()) {
      const snap_entry &h = *it->second;
      if (h.se_name != l.se_name) {
        *err = (l.se_num == 0 ? "HISTORY RESET: the host's baseline is "
                              : "HISTORY REWRITTEN: the host lists ") +
               l.se_name + " where the store holds " + h.se_name;
        return false;
      }
      if (h.se_sha != l.se_sha || h.se_size != l.se_size) {
        *err = "HISTORY REWRITTEN: " + l.se_name +
               " on the host differs from the copy collected (SHA-256 " +
               l.se_sha + ", collected " + h.se_sha + ")";
        return false;
      }
    } else if (l.se_num < newest.se_num) {
      *err = "HISTORY REWRITTEN: the host lists " + l.se_name +
             ", which the store never collected, below its newest " +
             newest.se_name;
      return false;
    } else {
      fetch->push_back(l);
    }
  }
  if (listed.back().se_num < newest.se_num) {
    *err = "HISTORY REWRITTEN: the host's newest snapshot is " +
           listed.back().se_name + "; the store holds " + newest.se_name;
    return false;
  }
  return true;
}
