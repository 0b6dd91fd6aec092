#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fs/fd.h"
#include "steps/log.h"
#include "steps/run.h"

namespace {

const char* program_name = "langext";
Descriptor history_file;
bool history_tried = false;

}  // namespace

void history_start(const char* program) { program_name = program; }

void history(const char* event, const char* path) {
  // Opened once, on the first line: a regular file of root's with one name,
  // never through a link, never a FIFO that would hold the run.
  if (!history_tried) {
    history_tried = true;
    Descriptor file(
        open(HISTORY_PATH,
             O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0640));
    struct stat status {};
    if (file.is_open() && fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_uid == 0 && status.st_nlink == 1) {
      history_file.reset(file.release());
    }
  }
  if (!history_file.is_open()) return;
  timespec now{};
  tm local{};
  std::array<char, 32> stamp{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || localtime_r(&now.tv_sec, &local) == nullptr ||
      std::strftime(stamp.data(), stamp.size(), "%Y-%m-%d %H:%M:%S", &local) == 0) {
    stamp[0] = '\0';
  }
  // A line end in a document root's name makes no line of its own. Each
  // of fewer than PATH_BUFFER_SIZE bytes is shown in four at most.
  std::array<char, 4 * PATH_BUFFER_SIZE> shown{};
  append_escaped(shown.data(), shown.size(), 0,
                 std::string_view(path, strnlen(path, PATH_BUFFER_SIZE - 1)), Escape::HISTORY);
  std::array<char, 4 * PATH_BUFFER_SIZE + 128> line{};
  const int length =
      std::snprintf(line.data(), line.size(), "%s %s[%d]: %s%s%s\n", stamp.data(), program_name,
                    static_cast<int>(getpid()), event, path[0] == '\0' ? "" : " ", shown.data());
  if (length <= 0) return;
  // One write, so that the lines of two runs never mix. The history never
  // decides what happens: a line that cannot be written is left out.
  static_cast<void>(write(history_file.get(), line.data(),
                          std::min(static_cast<std::size_t>(length), line.size() - 1)));
}
