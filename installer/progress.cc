#include "installer/progress.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fs/fd.h"
#include "fs/walk.h"

namespace {

constexpr long long REDRAW_NANOSECONDS = 100'000'000;
constexpr double BYTES_PER_MB = 1e6;
constexpr const char* CLEAR_LINE = "\r\033[K";

bool shown = false;    // progress is being shown at all
bool visible = false;  // the line is on the screen now
const char* current_part = "";
long long files_done = 0;
long long files_total = 0;
long long bytes_done = 0;
long long bytes_total = 0;
long long last_draw = 0;

// A terminal that refuses a write shows no more progress.
void write_to_terminal(const char* text, std::size_t length) {
  if (write(STDERR_FILENO, text, length) != static_cast<ssize_t>(length)) shown = false;
}

// Draws line (after CLEAR_LINE, length bytes of it), cut to the terminal.
void draw_line(const std::array<char, 512>& line, int length) {
  if (length < 0) return;
  std::size_t size = std::min(static_cast<std::size_t>(length), line.size() - 1);
  // A line longer than the terminal is wide would wrap, and could not be
  // redrawn in place.
  winsize window{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 1) {
    size = std::min(size, std::strlen(CLEAR_LINE) + window.ws_col - 1);
  }
  write_to_terminal(line.data(), size);
  visible = true;
  last_draw = monotonic_nanoseconds();
}

void draw() {
  std::array<char, 512> line{};
  draw_line(line, std::snprintf(line.data(), line.size(),
                                "%sCopying %s: %lld of %lld files, %.1f of %.1f MB", CLEAR_LINE,
                                current_part, files_done, files_total,
                                static_cast<double>(bytes_done) / BYTES_PER_MB,
                                static_cast<double>(bytes_total) / BYTES_PER_MB));
}

int count_entry(void*, int directory, const char* name, unsigned char type) {
  struct stat status {};
  if (type == DT_DIR) return WALK_ENTER;
  // A link is copied as the file it leads to.
  if (fstatat(directory, name, &status, 0) != 0) return WALK_NEXT;
  if (S_ISDIR(status.st_mode)) return type == DT_UNKNOWN ? WALK_ENTER : WALK_NEXT;
  ++files_total;
  if (S_ISREG(status.st_mode)) bytes_total += status.st_size;
  return WALK_NEXT;
}

int count_entered(void*, int, int directory, const char*) {
  return directory >= 0 ? WALK_ENTER : WALK_NEXT;
}

}  // namespace

long long monotonic_nanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void progress_start(const char* const* parts, std::size_t count) {
  shown = isatty(STDERR_FILENO) == 1;
  if (!shown) return;
  // An answer that did not come from the terminal left the prompt's line
  // open; the progress line must not overwrite it.
  if (isatty(STDIN_FILENO) != 1) write_to_terminal("\n", 1);
  for (std::size_t i = 0; i < count; ++i) {
    if (count_entry(nullptr, AT_FDCWD, parts[i], DT_UNKNOWN) != WALK_ENTER) continue;
    Descriptor part(open(parts[i], O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const WalkVisitor visitor{count_entry, count_entered, nullptr, nullptr};
    if (part.is_open()) walk_tree(part.get(), visitor);
  }
}

void progress_part(const char* part) {
  current_part = part;
  if (shown) draw();
}

void progress_step(int files, long long bytes) {
  files_done += files;
  bytes_done += bytes;
  if (shown && monotonic_nanoseconds() - last_draw >= REDRAW_NANOSECONDS) draw();
}

void progress_clear() {
  if (!shown || !visible) return;
  write_to_terminal(CLEAR_LINE, std::strlen(CLEAR_LINE));
  visible = false;
  last_draw = 0;
}

void progress_checking(const char* path, long long entries) {
  if (path == nullptr) {
    progress_clear();
    return;
  }
  if (entries == 0) shown = isatty(STDERR_FILENO) == 1;
  if (!shown || (entries != 0 && monotonic_nanoseconds() - last_draw < REDRAW_NANOSECONDS)) return;
  std::array<char, 512> line{};
  draw_line(line, std::snprintf(line.data(), line.size(), "%sChecking %s: %lld entries", CLEAR_LINE,
                                path, entries));
}
