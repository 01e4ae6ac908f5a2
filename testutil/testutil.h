// testutil.h: temporary directories, small file helpers and running the
// built programs for end-to-end tests.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

// A fresh directory per test under testing::TempDir(), removed afterwards.
class TmpDirTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  std::string dir_;
};

struct prog_result {
  int status;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs argv[0] with the rest as arguments in directory cwd, with TZ=UTC and
// standard input from /dev/null.
prog_result run_prog(const std::vector<std::string> &argv,
                     const std::string &cwd = ".");

std::string read_file(const std::string &name);
void write_file(const std::string &name, const std::string &data);
// rm -rf, without following symbolic links.
void remove_tree(const std::string &name);
