// json_fuzz.cc: the JSON lines of a frame (kavjson's printer) over arbitrary
// bytes read as a database. Every frame the reading admits gives one line, in
// order, that a JSON parser accepts as an object (so it is valid UTF-8), no
// longer than JSON_LINE_MAX unless a record has an extension, whose path turns
// back into the frame's bytes, and whose records hold exactly the attributes
// they carry, the digests and extended attributes of their extensions
// among them; the first damaged frame stops the reading with -1 and a
// meaningful errno.
#include <cerrno>
#include <nlohmann/json.hpp>

#include "fuzz/fuzz_util.h"
#include "port/port.h"
#include "testutil/unesc.h"
#include "text/json.h"

namespace {

// Large: it holds the output buffer.
json_state state;

using ordered = nlohmann::ordered_json;

std::string
hex(const std::vector<uint8_t> &bytes)
{
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

// The names of the attributes in bits, in the order of every layout.
ordered
names(uint32_t bits)
{
  ordered a = ordered::array();
  for (const db_attr &at : DB_ATTRS)
    if (bits & at.bit)
      a.push_back(at.name);
  return a;
}

// A record's object: its attributes' keys in order (the mode's followed
// by the file type's, the flags' by their names'), and the extension's
// values as the extension holds them.
void
check_record(const ordered &o, const ref_rec &r)
{
  FUZZ_CHECK(o.is_object());
  ordered keys = ordered::array(), want = ordered::array();
  for (const auto &kv : o.items())
    keys.push_back(kv.key());
  for (const auto &name : names(ref_attrs(r))) {
    want.push_back(name);
    if (name == "mode")
      want.push_back("type");
    if (name == "flags")
      want.push_back("flag_names");
  }
  FUZZ_CHECK(keys == want);
  if (o.contains("sha256"))
    FUZZ_CHECK(o["sha256"] == hex(r.sha256));
  if (!o.contains("xattrs"))
    return;
  const ordered &xs = o["xattrs"];
  FUZZ_CHECK(xs.is_array() && xs.size() == r.xattrs.size());
  for (size_t i = 0; i < r.xattrs.size(); i++) {
    const ref_xattr &a = r.xattrs[i];
    const ordered &x = xs[i];
    std::string name;
    FUZZ_CHECK(x.contains("name") && x["name"].is_string() &&
               unesc_name(x["name"].get<std::string>(), &name) &&
               name == a.name);
    if (a.by_sum)
      FUZZ_CHECK(x["size"] == a.size && x["sha256"] == hex(a.value) &&
                 !x.contains("value"));
    else
      FUZZ_CHECK(x["value"] == hex(a.value) && !x.contains("sha256"));
  }
}

// The line of frame f, which the reading admitted.
void
check_line(const std::string &line, const ref_frame &f)
{
  int n = f.kind == DB_KIND_CHANGED ? 2 : 1;
  std::vector<ref_rec> recs = ref_recs(f.data, n);
  // The reserve of a line; the attributes of an extension add to it.
  if (!recs[0].ext && (n == 1 || !recs[1].ext))
    FUZZ_CHECK(line.size() + 1 <= JSON_LINE_MAX);
  ordered j = ordered::parse(line, nullptr, false);
  FUZZ_CHECK(!j.is_discarded() && j.is_object());
  FUZZ_CHECK(j.contains("path") && j["path"].is_string());
  std::string bytes;
  FUZZ_CHECK(unesc_name(j["path"].get<std::string>(), &bytes));
  FUZZ_CHECK(bytes == f.path);
  bool known = f.kind == 0 || f.kind == 2 || f.kind == 4 || f.kind == 8;
  FUZZ_CHECK(j.contains("kind") != known);
  FUZZ_CHECK(j.contains("differ") == (f.kind == DB_KIND_CHANGED));
  FUZZ_CHECK(j["recorded"] == names(ref_attrs(recs[0])));
  if (n == 2) {
    check_record(j["older"], recs[0]);
    check_record(j["newer"], recs[1]);
    FUZZ_CHECK(j["differ"] == names(ref_diff(recs[0], recs[1])));
  } else {
    check_record(j["record"], recs[0]);
  }
}

// One reading of the file with the filter want (prefix or exact, or none
// when both are false), checked against the frames the format gives.
void
read_and_check(const char *name, const std::vector<ref_frame> &frames,
               size_t fits, bool bad, const std::string &want, bool exact,
               bool prefix)
{
  json_state *st = &state;
  memset(st, 0, sizeof *st);
  st->js_exact = exact;
  st->js_prefix = prefix;
  copy_cut(st->js_path, want.c_str());
  char *out = nullptr;
  size_t len = 0;
  st->js_out = open_memstream(&out, &len);
  FUZZ_CHECK(st->js_out != nullptr);
  uint8_t buf[DB_DATA_MAX];
  errno = 0;
  int r = db_readall(name, json_record, st, buf, sizeof buf);
  int e = errno;
  FUZZ_CHECK(json_flush(st) == 0);
  FUZZ_CHECK(fclose(st->js_out) == 0);
  if (fits < frames.size())
    FUZZ_CHECK(r == -1 && e == EBADMSG);
  else if (bad)
    FUZZ_CHECK(r == -1 && e != 0);
  else
    FUZZ_CHECK(r == 0);

  std::string text(out, len);
  free(out);
  size_t pos = 0;
  for (size_t i = 0; i < fits; i++) {
    const ref_frame &f = frames[i];
    if ((exact && f.path != want) || (prefix && f.path.rfind(want, 0) != 0))
      continue;
    size_t nl = text.find('\n', pos);
    FUZZ_CHECK(nl != std::string::npos);
    check_line(text.substr(pos, nl - pos), f);
    pos = nl + 1;
  }
  FUZZ_CHECK(pos == text.size());
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
  static fuzz_file file;
  file.set(data, size);
  bool bad;
  std::vector<ref_frame> frames = ref_frames(data, size, DB_DATA_MAX, &bad);
  size_t fits = ref_frames_whole(frames);
  read_and_check(file.name, frames, fits, bad, "", false, false);
  if (!frames.empty()) {
    read_and_check(file.name, frames, fits, bad, frames[0].path.substr(0, 3),
                   false, true);
    read_and_check(file.name, frames, fits, bad, frames.back().path, true,
                   false);
  }
  return 0;
}
