// The least that copying one byte at a time through the buffered streams
// costs: every file named in LIST (one path a line) is copied to DIR/0,
// DIR/1, ... with the unlocked stream calls and large buffers, and nothing
// else: no walk, no status calls, no modes.
//   floor_copy LIST DIR [DURABILITY]
// A line of LIST may instead hold a path, a tab and a name under DIR: the
// file then goes over that name (whose directory must exist), as a copy of
// a package over an earlier copy of it by hand does (not with
// sync_file_range, whose fsyncs at the end find the copies by number).
// DURABILITY makes the copies durable, to weigh the ways of doing it:
//   fsync            an fsync of each file before it is closed
//   sync_file_range  writeback started as each file is written, then one
//                    fsync of each file at the end
//   syncfs           one syncfs of DIR's file system at the end
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {
constexpr std::size_t BUFFER_SIZE = 1 << 20;
char input_buffer[BUFFER_SIZE];
char output_buffer[BUFFER_SIZE];
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  const std::string durability = argc == 4 ? argv[3] : "";
  FILE* list = std::fopen(argv[1], "r");
  if (list == nullptr) return 1;
  char path[4096];
  unsigned long index = 0;
  while (std::fgets(path, sizeof path, list) != nullptr) {
    path[std::strcspn(path, "\n")] = '\0';
    char* name = std::strchr(path, '\t');
    if (name != nullptr) {
      if (durability == "sync_file_range") return 2;
      *name++ = '\0';
    }
    const std::string destination =
        std::string(argv[2]) + "/" + (name != nullptr ? std::string(name) : std::to_string(index));
    ++index;
    FILE* in = std::fopen(path, "r");
    FILE* out = std::fopen(destination.c_str(), "w");
    if (in == nullptr || out == nullptr) return 1;
    setvbuf(in, input_buffer, _IOFBF, BUFFER_SIZE);
    setvbuf(out, output_buffer, _IOFBF, BUFFER_SIZE);
    int byte;
    while ((byte = getc_unlocked(in)) != EOF) putc_unlocked(byte, out);
    if (std::fflush(out) != 0) return 1;
    if (durability == "fsync" && fsync(fileno(out)) != 0) return 1;
    if (durability == "sync_file_range" &&
        sync_file_range(fileno(out), 0, 0, SYNC_FILE_RANGE_WRITE) != 0) {
      return 1;
    }
    if (std::fclose(out) != 0) return 1;
    std::fclose(in);
  }
  if (durability == "sync_file_range") {
    for (unsigned long i = 0; i < index; ++i) {
      const int fd = open((std::string(argv[2]) + "/" + std::to_string(i)).c_str(), O_RDONLY);
      if (fd < 0 || fsync(fd) != 0 || close(fd) != 0) return 1;
    }
  }
  if (durability == "syncfs") {
    const int fd = open(argv[2], O_RDONLY | O_DIRECTORY);
    if (fd < 0 || syncfs(fd) != 0 || close(fd) != 0) return 1;
  }
  return 0;
}
