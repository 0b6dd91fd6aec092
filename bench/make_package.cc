// Writes a reproducible add-on package of a given shape for the benchmark:
//   make_package SHAPE FILES DIR [SEED]
// SHAPE is tiny (100 B to 2 KB per file, a few hundred nested directories),
// web (1 to 64 KB, about a hundred directories) or large (20 MB each, no
// nesting). DIR receives packages/conf/language.cfg, packages/htx and
// packages/images; four files in five go to htx, the rest to images (all of
// them for large).
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::uint64_t state = 0;

std::uint64_t next_random() {  // xorshift64*: the same bytes for the same seed
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return state * 2685821657736338717ULL;
}

std::uint64_t random_between(std::uint64_t low, std::uint64_t high) {
  return low + next_random() % (high - low + 1);
}

void make_directory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(path.c_str());
    std::exit(1);
  }
}

void write_random_file(const std::string& path, std::uint64_t size) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::uint64_t block[512];
  while (size > 0) {
    for (auto& word : block) word = next_random();
    const std::size_t chunk = size < sizeof block ? size : sizeof block;
    if (std::fwrite(block, 1, chunk, file) != chunk) std::exit(1);
    size -= chunk;
  }
  if (std::fclose(file) != 0) std::exit(1);
}

// Lays out `count` directories below root, nested up to four deep.
std::vector<std::string> make_tree(const std::string& root, int count) {
  std::vector<std::string> directories{root};
  make_directory(root);
  for (int i = 0; i < count; ++i) {
    std::string parent = directories[random_between(0, directories.size() - 1)];
    if (std::count(parent.begin(), parent.end(), '/') - std::count(root.begin(), root.end(), '/') >=
        4) {
      parent = root;
    }
    directories.push_back(parent + "/dir" + std::to_string(i));
    make_directory(directories.back());
  }
  return directories;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: make_package tiny|web|large FILES DIR [SEED]\n");
    return 2;
  }
  const std::string shape = argv[1];
  const int files = std::atoi(argv[2]);
  const std::string top = std::string(argv[3]) + "/packages";
  state = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 20261207;
  if (state == 0) state = 1;
  std::uint64_t low = 100, high = 2048;
  int directories = 300;
  if (shape == "web") low = 1024, high = 65536, directories = 100;
  if (shape == "large") low = high = 20 * 1024 * 1024, directories = 0;
  make_directory(std::string(argv[3]));
  make_directory(top);
  make_directory(top + "/conf");
  write_random_file(top + "/conf/language.cfg", 4096);
  const auto templates = make_tree(top + "/htx", directories * 4 / 5);
  const auto images = make_tree(top + "/images", directories / 5);
  for (int i = 0; i < files; ++i) {
    const bool image = shape == "large" || i % 5 == 4;
    const auto& where = image ? images : templates;
    const std::string& directory = where[random_between(0, where.size() - 1)];
    write_random_file(directory + "/file" + std::to_string(i) + (image ? ".png" : ".htx"),
                      random_between(low, high));
  }
  return 0;
}
