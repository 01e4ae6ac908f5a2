// replay_main.cc: a fuzz target without the fuzzer, run once over every
// file of its seed corpus. `make check` builds each target this way, so the
// harnesses keep compiling against the code they test and every seed, the
// inputs that once found a fault among them, keeps passing under the
// sanitizers.
#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);

int
main(int argc, char *argv[])
{
  LLVMFuzzerInitialize(&argc, &argv);
  int runs = 0;
  for (int i = 1; i < argc; i++) {
    DIR *d = opendir(argv[i]);
    if (d == nullptr) {
      perror(argv[i]);
      return 1;
    }
    while (struct dirent *de = readdir(d)) {
      if (de->d_name[0] == '.')
        continue;
      std::ifstream in(std::string(argv[i]) + "/" + de->d_name,
                       std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      runs++;
    }
    closedir(d);
  }
  fprintf(stderr, "%d inputs\n", runs);
  return runs > 0 ? 0 : 1;
}
