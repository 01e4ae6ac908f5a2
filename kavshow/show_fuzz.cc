// show_fuzz.cc: kavshow's reading and printing of arbitrary bytes as a
// database. Every frame the format allows reaches the visitor in order,
// the first damaged one stops the reading with -1 and a meaningful errno,
// and each layout prints every record without touching memory it must not.
// Whatever bytes a path holds, its record's header is exactly one line
// that reads back as the path after a mask text as long as the record's
// attributes make it, and the record has exactly the lines its layout
// gives it, extended attributes included.
#include <algorithm>
#include <cerrno>

#include "fuzz/fuzz_util.h"
#include "kavshow/show.h"
#include "port/port.h"
#include "testutil/unesc.h"

namespace {

// A record the filters admitted: its path, the length of its header's
// mask text and the lines it must print.
struct shown_rec {
  std::string path;
  size_t mask_len;
  size_t lines;
};

struct counter {
  const std::vector<ref_frame> *want;
  size_t seen;
  show_opts opts;
  std::vector<shown_rec> *shown;  // of every reading of one input
};

// Standard output goes to a file in memory, so that what the printers
// wrote can be read back.
void
capture_stdout()
{
  int fd = memfd_create("out", 0);
  if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
    abort();
  close(fd);
  setenv("TZ", "UTC", 1);
}

// What stdout received since the last call; it is emptied.
std::string
take_stdout()
{
  FUZZ_CHECK(fflush(stdout) == 0);
  off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  std::string out(size_t(end), '\0');
  FUZZ_CHECK(pread(STDOUT_FILENO, &out[0], out.size(), 0) ==
             ssize_t(out.size()));
  FUZZ_CHECK(ftruncate(STDOUT_FILENO, 0) == 0 &&
             lseek(STDOUT_FILENO, 0, SEEK_SET) == 0);
  return out;
}

// What a record the filters admitted prints: a header line, then one line
// per block in the plain layout, or one per selected attribute and a
// blank one in the others. The selection is the view's mask, or the first
// record's; the extension's attributes only where a record has one.
shown_rec
record_shown(const ref_frame &f, const rec_view *v)
{
  int n = f.kind == DB_KIND_CHANGED ? 2 : 1;
  std::vector<ref_rec> recs = ref_recs(f.data, n);
  uint32_t sel = v->rv_replace  ? v->rv_mask
                 : v->rv_narrow ? recs[0].mask & v->rv_mask
                                : recs[0].mask;
  if (!recs[0].ext && (n == 1 || !recs[1].ext))
    sel &= DB_ALL;
  size_t lines = 1;
  for (const ref_rec &r : recs) {
    if (v->rv_plain) {
      lines++;
      continue;
    }
    // One line per attribute and a blank one; the extended attributes
    // take a line each, or one that says there are none. Mask bits that
    // name no attribute are stored but have no line.
    lines += size_t(__builtin_popcount(sel & DB_EVERY & ~DB_XATTR)) + 1;
    if (sel & DB_XATTR)
      lines += r.xattrs.empty() ? 1 : r.xattrs.size();
  }
  return {f.path, (ref_attrs(recs[0]) & DB_EXT_ATTRS) ? DB_NATTRS : DB_NBASE,
          lines};
}

// The output holds the admitted records and nothing else, each a header
// that is one line and reads back as its path, then exactly its lines.
void
check_output(const std::vector<shown_rec> &shown)
{
  std::string out = take_stdout(), path;
  size_t at = 0;
  for (const shown_rec &r : shown) {
    size_t nl = out.find('\n', at);
    // The change letter, a blank, the mask text, a blank, the path.
    size_t start = out.find(' ', at + 2) + 1;
    FUZZ_CHECK(nl != std::string::npos && start == at + 3 + r.mask_len &&
               nl >= start);  // may read empty
    FUZZ_CHECK(unesc_name(out.substr(start, nl - start), &path));
    FUZZ_CHECK(path == r.path);
    for (size_t i = 0; i < r.lines; i++) {
      nl = out.find('\n', at);
      FUZZ_CHECK(nl != std::string::npos);
      at = nl + 1;
    }
  }
  FUZZ_CHECK(at == out.size());
}

int
check_and_show(const db_frame *fr, const void *data, void *arg)
{
  counter *c = static_cast<counter *>(arg);
  FUZZ_CHECK(c->seen < c->want->size());
  const ref_frame &w = (*c->want)[c->seen++];
  FUZZ_CHECK(w.path == fr->path);
  FUZZ_CHECK(w.kind == fr->kind && w.data.size() == fr->len);
  FUZZ_CHECK(memcmp(w.data.data(), data, fr->len) == 0);
  int r = show_record(fr, data, &c->opts);
  const show_opts &o = c->opts;
  if (r == 0 && (!o.so_exact || w.path == o.so_path) &&
      (!o.so_prefix || w.path.compare(0, strlen(o.so_path), o.so_path) == 0))
    c->shown->push_back(record_shown(w, &o.so_view));
  return r;
}

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
  capture_stdout();
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
  size_t fits = ref_frames_whole(frames);
  std::vector<shown_rec> shown;
  // mask, human, plain, narrow, replace, stdout
  const rec_view views[] = {{0, false, false, false, false, nullptr},
                            {0, true, false, false, false, nullptr},
                            {0, false, true, false, false, nullptr},
                            {0x1ff, true, false, false, true, nullptr},
                            {0x0a5, false, true, true, false, nullptr}};
  for (const rec_view &v : views) {
    counter c{&frames, 0, {v, false, false, ""}, &shown};
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
    counter c{&frames, 0, {views[2], false, true, ""}, &shown};
    copy_cut(c.opts.so_path, frames[0].path.substr(0, 3).c_str());
    uint8_t buf[SHOW_DATA_MAX];
    db_readall(file.name, check_and_show, &c, buf, sizeof buf);
    counter e{&frames, 0, {views[0], true, false, ""}, &shown};
    copy_cut(e.opts.so_path, frames.back().path.c_str());
    db_readall(file.name, check_and_show, &e, buf, sizeof buf);
  }
  check_output(shown);
  return 0;
}
