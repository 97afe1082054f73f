// SPDX-License-Identifier: MIT
#include "replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tmlib {
namespace {

ReplaceResult fault(ReplaceFault f, int error, const std::string &target) {
  ReplaceResult r;
  r.fault = f;
  r.error = error;
  r.target = target;
  return r;
}

std::string folder_of(const std::string &path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The name a chain of symbolic links ends at when the file it names does not exist yet (a
// dangling link): writing through such a link creates that file, as a shell's redirection
// would, instead of replacing the link by a file. `path` itself when it is no link; empty (with
// errno) when a link cannot be read or the chain does not end.
std::string dangling_link_target(const std::string &path) {
  std::string name = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return name;
    std::vector<char> text(PATH_MAX + 1);
    const ssize_t n = ::readlink(name.c_str(), text.data(), text.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= text.size()) return {};
    const std::string link(text.data(), static_cast<std::size_t>(n));
    name = link.front() == '/' ? link : folder_of(name) + "/" + link;
  }
  errno = ELOOP;
  return {};
}

// A new, empty temporary file beside the target: hidden, and not ending in the target's
// extension, so that one left behind by a crash never shows up as a preset or a picture.
int create_sibling(const std::string &folder, mode_t mode, std::string &name) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 64; ++attempt) {
    const auto ticks = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    const unsigned long long tag = ticks ^ (static_cast<unsigned long long>(::getpid()) << 20) ^ counter.fetch_add(1);
    char leaf[48];
    std::snprintf(leaf, sizeof leaf, "/.brightloom-%012llx.partial", tag & 0xffffffffffffULL);
    name = folder + leaf;
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

struct Tracked {
  const ReplaceOptions &options;
  int handle = -1;
  Tracked(const ReplaceOptions &o, const std::string &path) : options(o) {
    if (options.track != nullptr) handle = options.track(path.c_str());
  }
  ~Tracked() {
    if (options.untrack != nullptr && handle >= 0) options.untrack(handle);
  }
  Tracked(const Tracked &) = delete;
  Tracked &operator=(const Tracked &) = delete;
};

// Runs the writer on `fd`, flushes it to the disk when durable, and closes it in every case;
// false when any of it failed, with `error` the errno of a failed flush or close (0 when the
// writer itself failed).
bool write_and_close(int fd, const std::function<bool(int)> &write, bool durable, int &error) {
  error = 0;
  bool written = write(fd);
  if (written && durable && ::fsync(fd) != 0) {
    error = errno;
    written = false;
  }
  if (::close(fd) != 0 && written) {
    error = errno;
    written = false;
  }
  return written;
}

// A device or a pipe: written as it is (-o /dev/stdout feeds a pipe; replacing /dev/null by a
// file would break every other program).
ReplaceResult write_special(const std::string &target, const std::function<bool(int)> &write) {
  // Without O_NONBLOCK, opening a pipe nobody reads would wait for ever.
  const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    struct stat st {};
    if (e == ENXIO && ::stat(target.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
      return fault(ReplaceFault::kNoReader, 0, target);
    return fault(ReplaceFault::kOpen, e, target);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
    ::close(fd);  // replaced by a file or a folder since it was looked at: not ours to write
    return fault(ReplaceFault::kOpen, EAGAIN, target);
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int error = 0;
  if (!write_and_close(fd, write, false, error)) return fault(ReplaceFault::kWrite, error, target);
  ReplaceResult r;
  r.in_place = true;
  r.target = target;
  return r;
}

// Overwrites a regular file from its start, created when missing (see the header for when).
ReplaceResult write_in_place(const std::string &target, const std::function<bool(int)> &write, bool durable) {
  bool created = false;
  int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created = fd >= 0;
  }
  if (fd < 0) return fault(ReplaceFault::kOpen, errno, target);
  int error = 0;
  const auto write_from_start = [&](int f) { return (::ftruncate(f, 0) == 0 || (error = errno, false)) && write(f); };
  int close_error = 0;
  if (!write_and_close(fd, write_from_start, durable, close_error)) {
    if (created) ::unlink(target.c_str());
    if (close_error != 0) error = close_error;
    return fault(ReplaceFault::kWrite, error, target);
  }
  ReplaceResult r;
  r.in_place = true;
  r.target = target;
  return r;
}

// Where a write of `path` goes and whether it may go there at all.
struct Plan {
  ReplaceResult verdict;  // a fault, or none with the target filled in
  bool exists = false;
  struct stat st {};
};

Plan plan(const std::string &path) {
  Plan p;
  if (path.empty()) {
    p.verdict = fault(ReplaceFault::kNoName, 0, path);
    return p;
  }
  p.verdict.target = path;
  p.exists = ::stat(path.c_str(), &p.st) == 0;
  if (p.exists) {
    if (S_ISDIR(p.st.st_mode)) p.verdict = fault(ReplaceFault::kFolder, 0, path);
    if (S_ISSOCK(p.st.st_mode)) p.verdict = fault(ReplaceFault::kNotAFile, 0, path);
    if (!S_ISREG(p.st.st_mode)) return p;
    // No write permission for anyone is a deliberate protection, honoured even for root.
    if (::access(path.c_str(), W_OK) != 0 || (p.st.st_mode & 0222) == 0) {
      p.verdict = fault(ReplaceFault::kReadOnly, 0, path);
      return p;
    }
    // Replace what a link points to, not the link itself.
    if (char *resolved = ::realpath(path.c_str(), nullptr)) {
      p.verdict.target = resolved;
      std::free(resolved);
    }
    return p;
  }
  if (errno == ENOTDIR) {  // a part of the folder's path is a file
    p.verdict = fault(ReplaceFault::kNoFolder, 0, path);
    return p;
  }
  if (errno != ENOENT) {
    p.verdict = fault(errno == ELOOP ? ReplaceFault::kLinks : ReplaceFault::kOpen, errno, path);
    return p;
  }
  const std::string target = dangling_link_target(path);
  if (target.empty()) {
    p.verdict = fault(ReplaceFault::kLinks, errno, path);
    return p;
  }
  p.verdict.target = target;
  struct stat folder {};
  if (::stat(folder_of(target).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
    p.verdict = fault(ReplaceFault::kNoFolder, 0, target);
  return p;
}

}  // namespace

bool write_all(int fd, const void *data, std::size_t size) {
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

ReplaceResult check_replaceable(const std::string &path) { return plan(path).verdict; }

ReplaceResult replace_file(const std::string &path, const std::function<bool(int fd)> &write,
                           const ReplaceOptions &options) {
  const Plan p = plan(path);
  if (!p.verdict.ok()) return p.verdict;
  const std::string &target = p.verdict.target;
  const bool exists = p.exists;
  const struct stat &existing = p.st;
  if (exists && !S_ISREG(existing.st_mode)) return write_special(target, write);
  if (exists && existing.st_nlink > 1) return write_in_place(target, write, options.durable);

  std::string temp;
  // A replaced file's permissions are given once its owner is; until then only its writer
  // may read the temporary.
  const int fd = create_sibling(folder_of(target), exists ? 0600 : 0666, temp);
  if (fd < 0) {
    const int e = errno;
    if (!exists || e == ENOSPC || e == EDQUOT) return fault(ReplaceFault::kOpen, e, target);
    return write_in_place(target, write, options.durable);
  }
  const Tracked tracked(options, temp);
  if (exists) {
    // Keep the owner and group, or write in place where they cannot be kept; then the
    // permissions (after the owner: a change of owner clears the set-id bits).
    if ((existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) &&
        ::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
      ::close(fd);
      ::unlink(temp.c_str());
      return write_in_place(target, write, options.durable);
    }
    (void)::fchmod(fd, existing.st_mode & 07777);
  }
  int error = 0;
  if (!write_and_close(fd, write, options.durable, error)) {
    ::unlink(temp.c_str());
    return fault(ReplaceFault::kWrite, error, target);
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return write_in_place(target, write, options.durable);
  }
  if (options.durable) {
    // Make the new folder entry durable too; failing here loses nothing already in place.
    const int dir = ::open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      (void)::fsync(dir);
      ::close(dir);
    }
  }
  ReplaceResult r;
  r.target = target;
  return r;
}

std::string replace_fault_reason(const ReplaceResult &r) {
  const std::string why = r.error != 0 ? std::string(std::strerror(r.error)) : std::string();
  switch (r.fault) {
    case ReplaceFault::kNone:
      return {};
    case ReplaceFault::kNoName:
      return "no file name was given";
    case ReplaceFault::kFolder:
      return "is a folder; name a file";
    case ReplaceFault::kNotAFile:
      return "is a socket, not a file that can be written";
    case ReplaceFault::kReadOnly:
      return "the existing file is read-only; make it writable or choose another name";
    case ReplaceFault::kNoFolder:
      return "the folder " + folder_of(r.target) + " does not exist or is not a folder";
    case ReplaceFault::kLinks:
      return "cannot follow the symbolic link" + (why.empty() ? std::string() : ": " + why);
    case ReplaceFault::kOpen:
      return "cannot create or open the file" + (why.empty() ? std::string() : ": " + why);
    case ReplaceFault::kNoReader:
      return "nothing reads from this pipe, so it cannot be written";
    case ReplaceFault::kWrite:
      return "cannot write the file" + (why.empty() ? std::string() : ": " + why);
  }
  return {};
}

}  // namespace tmlib
