// Runs a fuzz target's entry function over every file of the given corpus folders (or files), so
// that the seed corpus and every input a fuzzer once found faulty are checked by the ordinary test
// run, without libFuzzer. A failed check aborts with the name of the input on standard error.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void collect(const std::string& path, std::vector<std::string>& files) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    std::fprintf(stderr, "replay: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(2);
  }
  if (!S_ISDIR(info.st_mode)) {
    files.push_back(path);
    return;
  }
  DIR* folder = opendir(path.c_str());
  if (!folder) {
    std::fprintf(stderr, "replay: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(2);
  }
  // readdir ends with a null pointer both at the end and on an error; only errno tells them apart.
  // An error (EOVERFLOW for a 32-bit build without large-file support, on a file system with
  // 64-bit inode numbers) must fail the replay, not pass it with part of the corpus unread.
  for (;;) {
    errno = 0;
    dirent* entry = readdir(folder);
    if (!entry)
      break;
    std::string name = entry->d_name;
    if (name != "." && name != "..")
      collect(path + "/" + name, files);
  }
  if (errno != 0) {
    std::fprintf(stderr, "replay: cannot read the folder %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(2);
  }
  closedir(folder);
}

} // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i)
    collect(argv[i], files);
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 2;
  }
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "replay: cannot open %s\n", file.c_str());
      return 2;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("replay: %zu inputs passed\n", files.size());
  return 0;
}
