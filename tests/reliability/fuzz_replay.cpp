// fuzz_replay_TARGET FOLDER...: runs a fuzz target's entry over every file
// of the folders, in name order: the committed seeds and every input that
// once broke the target (kept in fuzz/corpus/TARGET/), so that each build
// and each sanitizer run checks them again, with no libFuzzer needed. A
// broken promise aborts, naming the check; the input is named first.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::set<fs::path> files;
    for (const auto& entry : fs::directory_iterator(argv[i])) {
      if (entry.is_regular_file()) files.insert(entry.path());
    }
    for (const fs::path& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::fprintf(stderr, "%s\n", file.c_str());
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++inputs;
    }
  }
  std::printf("%zu inputs ran clean\n", inputs);
  return inputs > 0 ? 0 : 1;
}
