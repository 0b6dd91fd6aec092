// A disk that remembers what reached it, in order, for the power-cut test.
//
//   write_log_fs serve IMAGE LOG MOUNTPOINT [MICROSECONDS]
//     serves IMAGE as the one file MOUNTPOINT/disk, in the foreground, until
//     unmounted; a loop device over that file is the disk. Each write it
//     passes on is appended to LOG with its data, each zeroed range (a
//     discard, write-zeroes) as such, and each fsync as a barrier: the loop
//     driver turns a flush of its queue into an fsync of the file. Each
//     write completes MICROSECONDS late, as on a slow disk: what the file
//     system does meanwhile (a commit that goes ahead of data still being
//     written) then reaches the disk first, as it can on a real one.
//   write_log_fs list LOG
//     prints "barrier N" for each barrier, N the writes before it, then
//     "writes N" for all of them.
//   write_log_fs replay LOG IMAGE FIRST LAST
//     applies the writes numbered FIRST to LAST - 1 (from 0) to IMAGE.
//
// Nothing the kernel writes may wait in a cache of its own where a flush
// could pass it by: the file is served with direct_io and without the
// writeback cache, so a write the loop driver sees completed has been
// logged, before any flush that it issues after. One thread serves every
// request, so the log is in the order they arrived.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* DISK = "/disk";

// What one record of the log holds; a write's data follows it.
constexpr std::uint64_t WRITTEN = 'W';
constexpr std::uint64_t ZEROED = 'Z';
constexpr std::uint64_t BARRIER = 'B';
struct Record {
  std::uint64_t kind;
  std::uint64_t offset;
  std::uint64_t length;
};

int image = -1;
int log_file = -1;
useconds_t write_delay = 0;

bool write_all(int file, const void* data, std::size_t length) {
  const char* rest = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t written = write(file, rest, length);
    if (written <= 0) return false;
    rest += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// Whether length bytes were read; false at the end of the file too.
bool read_all(int file, void* data, std::size_t length) {
  char* rest = static_cast<char*>(data);
  while (length > 0) {
    const ssize_t got = read(file, rest, length);
    if (got <= 0) return false;
    rest += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

int append(std::uint64_t kind, off_t offset, std::size_t length, const char* data) {
  const Record record{kind, static_cast<std::uint64_t>(offset), length};
  if (!write_all(log_file, &record, sizeof record) ||
      (data != nullptr && !write_all(log_file, data, length))) {
    return -EIO;
  }
  return 0;
}

void* start(fuse_conn_info* connection, fuse_config* config) {
  connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
  config->direct_io = 1;
  config->kernel_cache = 0;
  return nullptr;
}

int get_attributes(const char* path, struct stat* status, fuse_file_info*) {
  if (std::strcmp(path, "/") == 0) {
    std::memset(status, 0, sizeof *status);
    status->st_mode = S_IFDIR | 0755;
    status->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, DISK) != 0) return -ENOENT;
  if (fstat(image, status) != 0) return -errno;
  status->st_mode = S_IFREG | 0600;
  return 0;
}

int list_directory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                   fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOTDIR;
  const fuse_fill_dir_flags none{};
  fill(buffer, ".", nullptr, 0, none);
  fill(buffer, "..", nullptr, 0, none);
  fill(buffer, DISK + 1, nullptr, 0, none);
  return 0;
}

int open_disk(const char* path, fuse_file_info* file) {
  if (std::strcmp(path, DISK) != 0) return -ENOENT;
  file->direct_io = 1;
  file->keep_cache = 0;
  return 0;
}

int read_disk(const char*, char* data, std::size_t size, off_t offset, fuse_file_info*) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(image, data + done, size - done, offset + static_cast<off_t>(done));
    if (got < 0) return -errno;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<int>(done);
}

int write_disk(const char*, const char* data, std::size_t size, off_t offset, fuse_file_info*) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t written =
        pwrite(image, data + done, size - done, offset + static_cast<off_t>(done));
    if (written <= 0) return written < 0 ? -errno : -EIO;
    done += static_cast<std::size_t>(written);
  }
  const int logged = append(WRITTEN, offset, size, data);
  if (write_delay > 0 && usleep(write_delay) != 0) return -errno;
  return logged != 0 ? logged : static_cast<int>(size);
}

// Each flush of the loop device's queue arrives here. (FUSE's own flush
// comes with each close and promises nothing.)
int sync_disk(const char*, int, fuse_file_info*) { return append(BARRIER, 0, 0, nullptr); }

int allocate(const char*, int mode, off_t offset, off_t length, fuse_file_info*) {
  if (fallocate(image, mode, offset, length) != 0) return -errno;
  if ((mode & (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_ZERO_RANGE)) == 0) return 0;
  return append(ZEROED, offset, static_cast<std::size_t>(length), nullptr);
}

int serve(const char* image_path, const char* log_path, char* mount_point, char* program) {
  image = open(image_path, O_RDWR | O_CLOEXEC);
  log_file = open(log_path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (image < 0 || log_file < 0) {
    std::perror(image < 0 ? image_path : log_path);
    return 1;
  }
  fuse_operations operations{};
  operations.init = start;
  operations.getattr = get_attributes;
  operations.readdir = list_directory;
  operations.open = open_disk;
  operations.read = read_disk;
  operations.write = write_disk;
  operations.fsync = sync_disk;
  operations.fallocate = allocate;
  // In the foreground, one thread.
  char foreground[] = "-f";
  char one_thread[] = "-s";
  char option[] = "-o";
  // WRITE_LOG_FS_OPTIONS: more mount options, allow_other say.
  std::array<char, 256> name{};
  const char* more = std::getenv("WRITE_LOG_FS_OPTIONS");
  if (more != nullptr && *more == '\0') more = nullptr;
  std::snprintf(name.data(), name.size(), "fsname=write_log_fs%s%s", more != nullptr ? "," : "",
                more != nullptr ? more : "");
  std::array<char*, 6> arguments{program, foreground, one_thread, option, name.data(), mount_point};
  return fuse_main(static_cast<int>(arguments.size()), arguments.data(), &operations, nullptr);
}

int list(const char* log_path) {
  const int log = open(log_path, O_RDONLY | O_CLOEXEC);
  if (log < 0) {
    std::perror(log_path);
    return 1;
  }
  Record record{};
  unsigned long writes = 0;
  while (read_all(log, &record, sizeof record)) {
    if (record.kind == BARRIER) {
      std::printf("barrier %lu\n", writes);
    } else {
      ++writes;
      if (record.kind == WRITTEN && lseek(log, static_cast<off_t>(record.length), SEEK_CUR) < 0) {
        std::perror(log_path);
        return 1;
      }
    }
  }
  std::printf("writes %lu\n", writes);
  return close(log) == 0 ? 0 : 1;
}

std::array<char, 1 << 20> buffer;

int replay(const char* log_path, const char* image_path, unsigned long first, unsigned long last) {
  const int log = open(log_path, O_RDONLY | O_CLOEXEC);
  const int disk = open(image_path, O_WRONLY | O_CLOEXEC);
  if (log < 0 || disk < 0) {
    std::perror(log < 0 ? log_path : image_path);
    return 1;
  }
  Record record{};
  unsigned long index = 0;
  while (index < last && read_all(log, &record, sizeof record)) {
    if (record.kind == BARRIER) continue;
    const bool applied = index++ >= first;
    if (record.kind == ZEROED) {
      if (applied &&
          fallocate(disk, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                    static_cast<off_t>(record.offset), static_cast<off_t>(record.length)) != 0) {
        std::perror(image_path);
        return 1;
      }
      continue;
    }
    if (!applied) {
      if (lseek(log, static_cast<off_t>(record.length), SEEK_CUR) < 0) {
        std::perror(log_path);
        return 1;
      }
      continue;
    }
    for (std::uint64_t done = 0; done < record.length;) {
      const std::size_t piece = record.length - done < buffer.size()
                                    ? static_cast<std::size_t>(record.length - done)
                                    : buffer.size();
      if (!read_all(log, buffer.data(), piece) ||
          pwrite(disk, buffer.data(), piece, static_cast<off_t>(record.offset + done)) !=
              static_cast<ssize_t>(piece)) {
        std::fprintf(stderr, "cannot apply write %lu to %s\n", index - 1, image_path);
        return 1;
      }
      done += piece;
    }
  }
  if (index < last) {
    std::fprintf(stderr, "%s holds only %lu writes\n", log_path, index);
    return 1;
  }
  if (close(disk) != 0 || close(log) != 0) {
    std::perror(image_path);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "serve") == 0) {
    if (argc == 6) write_delay = static_cast<useconds_t>(std::strtoul(argv[5], nullptr, 10));
    return serve(argv[2], argv[3], argv[4], argv[0]);
  }
  if (argc == 3 && std::strcmp(argv[1], "list") == 0) return list(argv[2]);
  if (argc == 6 && std::strcmp(argv[1], "replay") == 0) {
    return replay(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10),
                  std::strtoul(argv[5], nullptr, 10));
  }
  std::fprintf(
      stderr,
      "usage: %s serve IMAGE LOG MOUNTPOINT [MICROSECONDS] | list LOG | replay LOG IMAGE FIRST "
      "LAST\n",
      argv[0]);
  return 2;
}
