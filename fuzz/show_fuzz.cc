// show_fuzz.cc: kavshow's reading and printing of arbitrary bytes as a
// database. Every frame the format allows reaches the visitor in order,
// the first damaged one stops the reading with -1 and a meaningful errno,
// and each layout prints every record without touching memory it must not.
#include <cerrno>

#include "fuzz/fuzz_util.h"
#include "kavshow/show.h"
#include "port/port.h"

namespace {

struct counter {
  const std::vector<ref_frame> *want;
  size_t seen;
  show_opts opts;
};

int
check_and_show(const db_frame *fr, const void *data, void *arg)
{
  counter *c = static_cast<counter *>(arg);
  FUZZ_CHECK(c->seen < c->want->size());
  const ref_frame &w = (*c->want)[c->seen++];
  FUZZ_CHECK(w.path == fr->path);
  FUZZ_CHECK(w.kind == fr->kind && w.data.size() == fr->len);
  FUZZ_CHECK(memcmp(w.data.data(), data, fr->len) == 0);
  return show_record(fr, data, &c->opts);
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
  // The reader's buffer is kavshow's: two stored records.
  bool bad;
  std::vector<ref_frame> frames = ref_frames(data, size, SHOW_DATA_MAX, &bad);
  // A frame too short for the records its kind promises stops kavshow too.
  size_t fits = 0;
  while (fits < frames.size() &&
         frames[fits].data.size() >=
             (frames[fits].kind == DB_KIND_CHANGED ? 2 : 1) * DB_REC_LEN)
    fits++;
  // mask, human, plain, narrow, replace
  const rec_view views[] = {{0, false, false, false, false},
                            {0, true, false, false, false},
                            {0, false, true, false, false},
                            {0x1ff, true, false, false, true},
                            {0x0a5, false, true, true, false}};
  for (const rec_view &v : views) {
    counter c{&frames, 0, {v, false, false, ""}};
    uint8_t buf[SHOW_DATA_MAX];
    errno = 0;
    int r = db_readall(file.name, check_and_show, &c, buf, sizeof buf);
    if (fits < frames.size()) {
      FUZZ_CHECK(r == -1 && errno == EBADMSG && c.seen == fits + 1);
    } else if (bad) {
      FUZZ_CHECK(r == -1 && errno != 0 && c.seen == frames.size());
    } else {
      FUZZ_CHECK(r == 0 && c.seen == frames.size());
    }
  }
  // The path filters see every frame too but print only what they admit.
  if (!frames.empty()) {
    counter c{&frames, 0, {views[2], false, true, ""}};
    copy_cut(c.opts.so_path, frames[0].path.substr(0, 3).c_str());
    uint8_t buf[SHOW_DATA_MAX];
    db_readall(file.name, check_and_show, &c, buf, sizeof buf);
    counter e{&frames, 0, {views[0], true, false, ""}};
    copy_cut(e.opts.so_path, frames.back().path.c_str());
    db_readall(file.name, check_and_show, &e, buf, sizeof buf);
  }
  fflush(stdout);
  return 0;
}
