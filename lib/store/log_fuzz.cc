// log_fuzz.cc: the acceptance log's reader over arbitrary bytes. It never
// fails but with a message; a line it takes holds printed forms that give
// bytes back, a baseline's name and two digests, and written again from
// those bytes it reads back to the same bytes; the last line of a log is
// one of its lines.
#include <string>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "store/log.h"
#include "store/store.h"
#include "testutil/unesc.h"

namespace {

std::string
bytes_of(const std::string &printed)
{
  std::string bytes;
  FUZZ_CHECK(unesc_name(printed, &bytes));
  return bytes;
}

// a with every text turned back into its bytes.
st_accept
unprinted(const st_accept &a)
{
  st_accept b = a;
  b.sa_user = bytes_of(a.sa_user);
  b.sa_text = bytes_of(a.sa_text);
  for (std::string &p : b.sa_paths)
    p = bytes_of(p);
  return b;
}

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string_view in(reinterpret_cast<const char *>(data), size);
  std::string_view last;
  if (st_log_last(in, &last)) {
    FUZZ_CHECK(in.empty() || in.back() == '\n');
    FUZZ_CHECK(last.find('\n') == std::string_view::npos);
    FUZZ_CHECK(in.size() > last.size() || in.empty());
  } else {
    FUZZ_CHECK(!in.empty() && in.back() != '\n');
  }
  st_accept a;
  std::string err;
  if (!st_log_parse(in, &a, &err)) {
    FUZZ_CHECK(!err.empty());
    return 0;
  }
  FUZZ_CHECK(st_is_baseline(a.sa_baseline));
  FUZZ_CHECK(a.sa_older_sha256.size() == 64 && a.sa_newer_sha256.size() == 64);
  FUZZ_CHECK(a.sa_mode == "all" || a.sa_mode == "explained" ||
             a.sa_mode == "path");
  st_accept bytes = unprinted(a);
  std::string line = st_log_line(bytes);
  FUZZ_CHECK(line.back() == '\n');
  line.pop_back();
  st_accept again;
  FUZZ_CHECK(st_log_parse(line, &again, &err));
  st_accept back = unprinted(again);
  FUZZ_CHECK(back.sa_time == a.sa_time && back.sa_user == bytes.sa_user &&
             back.sa_text == bytes.sa_text && back.sa_paths == bytes.sa_paths &&
             back.sa_baseline == a.sa_baseline &&
             back.sa_older_sha256 == a.sa_older_sha256 &&
             back.sa_newer_sha256 == a.sa_newer_sha256);
  // What the writer writes it reads back as it wrote it.
  FUZZ_CHECK(st_log_line(unprinted(again)) == line + "\n");
  return 0;
}
