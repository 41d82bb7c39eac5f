// Runs a fuzz target once over every file of the folders (or files) named on
// the command line, in name order, so that a corpus and the crashes saved in
// it replay as an ordinary test. A target that finds a fault aborts, and the
// test fails with the name of the input printed before it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<std::string> InputsOf(const char *argument) {
  std::vector<std::string> inputs;
  std::error_code ec;
  if (std::filesystem::is_directory(argument, ec)) {
    for (const auto &item : std::filesystem::directory_iterator(argument, ec))
      if (item.is_regular_file()) inputs.push_back(item.path().string());
    std::sort(inputs.begin(), inputs.end());
  } else {
    inputs.emplace_back(argument);
  }
  return inputs;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER_OR_FILE...\n", argv[0]);
    return 2;
  }
  long ran = 0;
  for (int a = 1; a < argc; ++a) {
    for (const std::string &path : InputsOf(argv[a])) {
      std::ifstream in(path, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
        return 1;
      }
      const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      std::fprintf(stderr, "%s\n", path.c_str());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
      ++ran;
    }
  }
  if (ran == 0) {
    std::fprintf(stderr, "no inputs found\n");
    return 1;
  }
  std::fprintf(stderr, "%ld inputs replayed\n", ran);
  return 0;
}
