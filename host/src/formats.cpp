// SPDX-License-Identifier: MIT
// Choosing a reader by a file's first bytes, and writing pictures so that a failure never
// leaves a half-written file under the final name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

Status write_picture(const std::string &path, OutputFormat format, const Picture &pic,
                     const WriteOptions &options) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  if (!fs::is_directory(dir, ec))
    return fail(path, "the output folder " + dir.string() + " does not exist or is not a folder");

  // A hidden temporary name in the same folder, so that the rename is atomic.
  std::string hidden = ".";
  hidden += target.filename().string();
  hidden += ".partial-XXXXXX";
  std::string tmpl = (dir / hidden).string();
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) return fail(path, "cannot create a file in " + dir.string() + ": " + std::strerror(errno));
  const std::string tmp(name.data());
  // Removed by the interrupt handler should the program be stopped while writing.
  struct Registration {
    int slot;
    ~Registration() { unregister_temp(slot); }
  } registration{register_temp_file(tmp.c_str())};
  // mkstemp creates 0600; a picture is an ordinary document.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);

  Status st;
  switch (format) {
    case OutputFormat::Png: st = write_png(fd, pic); break;
    case OutputFormat::Tiff: st = write_tiff(fd, pic); break;
    case OutputFormat::Jpeg: st = write_jpeg(fd, pic, options.jpeg_quality); break;
  }
  if (!st) {
    ::unlink(tmp.c_str());
    return fail(path, st.failure().reason);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    ::unlink(tmp.c_str());
    return fail(path, std::string("cannot move the finished picture into place: ") + std::strerror(e));
  }
  return Status::success();
}

}  // namespace brightloom
