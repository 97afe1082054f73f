// SPDX-License-Identifier: MIT
// Choosing a reader by a file's first bytes, and writing pictures so that a failure never
// leaves a half-written file under the final name (devices and pipes are written in place).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "cleanup.h"
#include "image.h"

namespace brightloom {
namespace {

std::string lower_extension(const std::string &path) {
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

}  // namespace

Result<Image> read_image(const std::string &path, int threads, bool as_rgbe) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(path, std::string("cannot open: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return fail(path, "is a folder, not an image file");
  // Readers reopen and seek the file, and opening a pipe with no writer never returns.
  if (!S_ISREG(st.st_mode)) return fail(path, "not a regular file (a pipe or device cannot be read)");

  unsigned char m[16] = {};
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return fail(path, std::string("cannot open: ") + std::strerror(errno));
  const size_t n = std::fread(m, 1, sizeof m, f);
  std::fclose(f);
  if (n == 0) return fail(path, "the file is empty");

  if (n >= 4 && m[0] == 0x76 && m[1] == 0x2f && m[2] == 0x31 && m[3] == 0x01) return read_exr(path, threads, as_rgbe);
  if (n >= 8 && std::memcmp(m, "\x89PNG\r\n\x1a\n", 8) == 0) return read_png(path);
  if (n >= 4 && (std::memcmp(m, "II*\0", 4) == 0 || std::memcmp(m, "MM\0*", 4) == 0 ||
                 std::memcmp(m, "II+\0", 4) == 0 || std::memcmp(m, "MM\0+", 4) == 0))
    return read_tiff(path, as_rgbe, threads);
  if (n >= 3 && m[0] == 'P' && (m[1] == 'F' || m[1] == 'f') && std::isspace(m[2])) return read_pfm(path, as_rgbe, threads);
  if (n >= 2 && m[0] == '#' && m[1] == '?') return read_radiance(path);
  // Headerless Radiance files exist; fall back on the name for them.
  const std::string ext = lower_extension(path);
  if (ext == ".hdr" || ext == ".pic" || ext == ".rgbe") return read_radiance(path);
  return fail(path, "unknown file format (supported: OpenEXR, Radiance .hdr, TIFF, PFM, PNG)");
}

bool format_from_extension(const std::string &path, OutputFormat &format) {
  const std::string ext = lower_extension(path);
  if (ext == ".png") format = OutputFormat::Png;
  else if (ext == ".tif" || ext == ".tiff") format = OutputFormat::Tiff;
  else if (ext == ".jpg" || ext == ".jpeg") format = OutputFormat::Jpeg;
  else return false;
  return true;
}

const char *extension_of(OutputFormat format) {
  switch (format) {
    case OutputFormat::Tiff: return ".tif";
    case OutputFormat::Jpeg: return ".jpg";
    default: return ".png";
  }
}

Status check_declared_size(const char *what, int64_t width, int64_t height, double raw_bytes, int64_t file_bytes,
                           int max_ratio) {
  const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
  if (width <= 0 || height <= 0) return fail("", std::string("the ") + what + " file declares " + size);
  if (width > kMaxPixels || height > kMaxPixels || width * height > kMaxPixels)
    return fail("", std::string("the ") + what + " file declares " + size +
                        "; pictures of more than 1,073,741,824 pixels (a gigapixel) are not supported");
  if (max_ratio > 0 && raw_bytes / max_ratio > double(file_bytes))
    return fail("", std::string("the ") + what + " file declares " + size + ", more than its " +
                        std::to_string(file_bytes) + " bytes can hold (the file is damaged or cut short)");
  return Status::success();
}

std::string disk_full_reason(int error) {
  switch (error) {
    case ENOSPC: return "the disk is full";
    case EDQUOT: return "the disk quota is used up";
    case EFBIG: return "the file would be larger than the system allows";
    default: return {};
  }
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

Status write_format(int fd, OutputFormat format, const Picture &pic, const WriteOptions &options) {
  switch (format) {
    case OutputFormat::Png: return write_png(fd, pic);
    case OutputFormat::Tiff: return write_tiff(fd, pic);
    case OutputFormat::Jpeg: return write_jpeg(fd, pic, options.jpeg_quality);
  }
  ::close(fd);
  return fail("", "unknown output format");
}

// Devices and pipes are written as they are: -o /dev/stdout feeds a pipe, and replacing
// /dev/null with a regular file would break the system for every other program.
Status write_in_place(const std::string &path, const std::string &target, OutputFormat format, const Picture &pic,
                      const WriteOptions &options) {
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
  if (format == OutputFormat::Tiff && ::lseek(fd, 0, SEEK_CUR) < 0) {
    ::close(fd);
    return fail(path, "a TIFF file is written out of order and cannot go to a pipe; use PNG or JPEG");
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

Status write_picture(const std::string &path, OutputFormat format, const Picture &pic,
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
