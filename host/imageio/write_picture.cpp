// SPDX-License-Identifier: MIT
// Writing pictures so that a failure never leaves a half-written file under the final name
// (devices and pipes are written in place).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "cleanup.h"
#include "formats.h"

namespace brightloom {

std::string disk_full_reason(int error) {
  switch (error) {
    case ENOSPC:
      return "the disk is full";
    case EDQUOT:
      return "the disk quota is used up";
    case EFBIG:
      return "the file would be larger than the system allows";
    default:
      return {};
  }
}

FILE *open_stream_for_writing(int fd) {
  FILE *fp = ::fdopen(fd, "wb");
  if (!fp) ::close(fd);
  errno = 0;
  return fp;
}

Status close_written_file(FILE *fp, const char *format, const char *encode_error, int encode_errno) {
  const bool flushed = std::fflush(fp) == 0 && !std::ferror(fp);
  const int flush_error = errno;
  const bool closed = std::fclose(fp) == 0;
  const int error = flushed ? errno : flush_error;
  const std::string what = std::string("cannot write the ") + format + " file: ";
  if (encode_error) {
    const std::string full = disk_full_reason(encode_errno);
    return fail("", what + (full.empty() ? std::string(encode_error) : full));
  }
  if (!flushed || !closed) {
    const std::string full = disk_full_reason(error);
    return fail("", what + (full.empty() ? std::string(std::strerror(error)) : full));
  }
  return Status::success();
}

namespace {

namespace fs = std::filesystem;

// Where a picture named path goes. An existing file is found through every link (those of
// /proc/self/fd included, which only the system can follow), and a regular one by its real
// name, so that the link is not replaced. A link that dangles is followed by hand: the
// picture goes where it points, as a shell's redirection would put it.
struct Target {
  std::string path;
  bool exists = false;
  struct stat st {};
};

Result<Target> find_target(const std::string &path) {
  Target t;
  t.path = path;
  if (::stat(path.c_str(), &t.st) == 0) {
    t.exists = true;
    if (S_ISREG(t.st.st_mode)) {
      if (char *real = ::realpath(path.c_str(), nullptr)) {
        t.path = real;
        std::free(real);
      }
    }
    return t;
  }
  fs::path p(path);
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(p, ec))) {
      t.path = p.string();
      return t;
    }
    const fs::path next = fs::read_symlink(p, ec);
    if (ec) return fail(path, "cannot follow the symbolic link: " + ec.message());
    p = next.is_absolute() ? next : p.parent_path() / next;
  }
  return fail(path, "too many levels of symbolic links");
}

Status write_format(int fd, const FormatDescriptor &format, const Picture &pic, const WriteOptions &options) {
  if (format.write == nullptr) {
    ::close(fd);
    return fail("", std::string(format.label) + " files cannot be written");
  }
  return format.write(fd, pic, options);
}

// Devices and pipes are written as they are: -o /dev/stdout feeds a pipe, and replacing
// /dev/null with a regular file would break the system for every other program.
Status write_in_place(const std::string &path, const std::string &target, const FormatDescriptor &format,
                      const Picture &pic, const WriteOptions &options) {
  // Without O_NONBLOCK, opening a pipe nobody reads would wait for ever.
  int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    struct stat st {};
    if (e == ENXIO && ::stat(target.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
      return fail(path, "nothing reads from this pipe, so the picture cannot be written");
    return fail(path, std::string("cannot open for writing: ") + std::strerror(e));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
    ::close(fd);  // replaced by a file or folder since it was looked at: not ours to write
    return fail(path, "the output changed while it was being opened");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (format.writer_seeks && ::lseek(fd, 0, SEEK_CUR) < 0) {
    ::close(fd);
    return fail(path, std::string("a ") + format.label + " file is written out of order and cannot go to a pipe; use " +
                          output_format_labels([](const FormatDescriptor &f) { return !f.writer_seeks; }));
  }
  Status st2 = write_format(fd, format, pic, options);
  if (!st2) return fail(path, st2.failure().reason);
  return Status::success();
}

Status check_target(const std::string &path, const Target &t) {
  if (!t.exists) return Status::success();
  if (S_ISDIR(t.st.st_mode)) return fail(path, "is a folder; name a file for the picture");
  if (S_ISSOCK(t.st.st_mode)) return fail(path, "is a socket, not a file a picture can be written to");
  if (!S_ISREG(t.st.st_mode)) return Status::success();  // a device or pipe: written in place
  // No write permission for anyone is a deliberate protection, honoured even for root.
  if (::access(t.path.c_str(), W_OK) != 0 || (t.st.st_mode & 0222) == 0)
    return fail(path, "the existing file is read-only; make it writable or choose another name");
  return Status::success();
}

}  // namespace

Status check_output_target(const std::string &path) {
  auto t = find_target(path);
  if (!t) return t.failure();
  return check_target(path, *t);
}

Status write_picture(const std::string &path, const FormatDescriptor &format, const Picture &pic,
                     const WriteOptions &options) {
  auto found = find_target(path);
  if (!found) return found.failure();
  if (Status st = check_target(path, *found); !st) return st;
  const std::string &target = found->path;
  const bool exists = found->exists;
  const struct stat &existing = found->st;
  if (exists && !S_ISREG(existing.st_mode)) return write_in_place(path, target, format, pic, options);

  fs::path dir = fs::path(target).parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  if (!fs::is_directory(dir, ec))
    return fail(path, "the output folder " + dir.string() + " does not exist or is not a folder");

  // A short hidden name in the same folder, so that the rename is atomic and an output name
  // of up to 255 characters leaves room for it.
  std::string tmpl = (dir / ".brightloom-XXXXXX.partial").string();
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkstemps(name.data(), 8);
  if (fd < 0) return fail(path, "cannot create a file in " + dir.string() + ": " + std::strerror(errno));
  const std::string tmp(name.data());
  // Removed by the interrupt handler should the program be stopped while writing.
  struct Registration {
    int slot;
    ~Registration() { unregister_temp(slot); }
  } registration{register_temp_file(tmp.c_str())};
  if (exists) {
    // A replaced picture keeps its owner and permissions.
    if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid())
      (void)::fchown(fd, existing.st_uid, existing.st_gid);
    ::fchmod(fd, existing.st_mode & 07777);
  } else {
    // mkstemp creates 0600; a picture is an ordinary document.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
  }

  Status st = write_format(fd, format, pic, options);
  if (!st) {
    ::unlink(tmp.c_str());
    return fail(path, st.failure().reason);
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    const int e = errno;
    ::unlink(tmp.c_str());
    return fail(path, std::string("cannot move the finished picture into place: ") + std::strerror(e));
  }
  return Status::success();
}

}  // namespace brightloom
