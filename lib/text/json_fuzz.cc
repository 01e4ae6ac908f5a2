// json_fuzz.cc: kavjson's printer over arbitrary bytes read as a database.
// Every frame the reading admits gives one line, in order, that a JSON
// parser accepts as an object (so it is valid UTF-8), no longer than
// JSON_LINE_MAX, whose path turns back into the frame's bytes; the first
// damaged frame stops the reading with -1 and a meaningful errno.
#include <cerrno>
#include <nlohmann/json.hpp>

#include "fuzz/fuzz_util.h"
#include "text/json.h"
#include "port/port.h"
#include "testutil/unesc.h"

namespace {

// Large: it holds the output buffer.
json_state state;

// The line of frame f, which the reading admitted.
void
check_line(const std::string &line, const ref_frame &f)
{
  FUZZ_CHECK(line.size() + 1 <= JSON_LINE_MAX);
  nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  FUZZ_CHECK(!j.is_discarded() && j.is_object());
  FUZZ_CHECK(j.contains("path") && j["path"].is_string());
  std::string bytes;
  FUZZ_CHECK(unesc_name(j["path"].get<std::string>(), &bytes));
  FUZZ_CHECK(bytes == f.path);
  bool known = f.kind == 0 || f.kind == 2 || f.kind == 4 || f.kind == 8;
  FUZZ_CHECK(j.contains("kind") != known);
  FUZZ_CHECK(j.contains("differ") == (f.kind == DB_KIND_CHANGED));
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
