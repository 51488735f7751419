// A main for the fuzz targets where libFuzzer is not there (g++, or clang without
// VARNO_FUZZ): replays every file named, or every file in each folder named (in name
// order), through LLVMFuzzerTestOneInput. A finding aborts as it would under the fuzzer;
// no input at all is a failure, so an emptied corpus cannot pass unseen.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void collect(const fs::path& path, std::vector<fs::path>* files) {
  std::error_code ec;
  if (!fs::is_directory(path, ec)) {
    files->push_back(path);
    return;
  }
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(path, ec)) {
    if (entry.is_regular_file(ec)) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  files->insert(files->end(), found.begin(), found.end());
}

// Each input in a buffer of exactly its size, so the sanitizers see any read past it.
bool replay(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
  memcpy(data.get(), bytes.data(), bytes.size());
  (void)LLVMFuzzerTestOneInput(data.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], &files);
  if (files.empty()) {
    fprintf(stderr, "usage: %s FILE|FOLDER...  (no input found)\n", argv[0]);
    return 1;
  }
  for (const fs::path& file : files) {
    if (!replay(file)) {
      fprintf(stderr, "cannot read %s\n", file.c_str());
      return 1;
    }
  }
  printf("replayed %zu inputs\n", files.size());
  return 0;
}
