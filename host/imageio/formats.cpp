// SPDX-License-Identifier: MIT
// The table of formats, and choosing a reader by a file's first bytes.
#include "formats.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>

namespace brightloom {
namespace {

bool is_openexr(const unsigned char *m, size_t n) {
  return n >= 4 && m[0] == 0x76 && m[1] == 0x2f && m[2] == 0x31 && m[3] == 0x01;
}
bool is_radiance(const unsigned char *m, size_t n) { return n >= 2 && m[0] == '#' && m[1] == '?'; }
bool is_tiff(const unsigned char *m, size_t n) {
  // Classic and BigTIFF, either byte order.
  return n >= 4 && (std::memcmp(m, "II*\0", 4) == 0 || std::memcmp(m, "MM\0*", 4) == 0 ||
                    std::memcmp(m, "II+\0", 4) == 0 || std::memcmp(m, "MM\0+", 4) == 0);
}
bool is_pfm(const unsigned char *m, size_t n) {
  return n >= 3 && m[0] == 'P' && (m[1] == 'F' || m[1] == 'f') && std::isspace(m[2]);
}
bool is_png(const unsigned char *m, size_t n) { return n >= 8 && std::memcmp(m, "\x89PNG\r\n\x1a\n", 8) == 0; }

constexpr const char *kExrExtensions[] = {".exr"};
constexpr const char *kRadianceExtensions[] = {".hdr", ".pic", ".rgbe"};
constexpr const char *kTiffExtensions[] = {".tif", ".tiff"};
constexpr const char *kPfmExtensions[] = {".pfm"};
constexpr const char *kPngExtensions[] = {".png"};
constexpr const char *kJpegExtensions[] = {".jpg", ".jpeg"};

// The readers take their arguments in the order their callers found natural; the table takes
// one signature.
const FormatDescriptor kFormats[] = {
    {.label = "OpenEXR",
     .name = "exr",
     .extensions = kExrExtensions,
     .probe = is_openexr,
     .read = [](const std::string &path, int threads, bool as_rgbe) { return read_exr(path, threads, as_rgbe); }},
    {.label = "Radiance .hdr",
     .name = "hdr",
     .extensions = kRadianceExtensions,
     .probe = is_radiance,
     .read_by_extension = true,
     .read = [](const std::string &path, int, bool) { return read_radiance(path); }},
    {.label = "TIFF",
     .name = "tiff",
     .extensions = kTiffExtensions,
     .probe = is_tiff,
     .read = [](const std::string &path, int threads, bool as_rgbe) { return read_tiff(path, as_rgbe, threads); },
     .write = [](int fd, const Picture &pic, const WriteOptions &) { return write_tiff(fd, pic); },
     .holds_8_bits = true,
     .holds_16_bits = true,
     .writer_seeks = true},
    {.label = "PFM",
     .name = "pfm",
     .extensions = kPfmExtensions,
     .probe = is_pfm,
     .read = [](const std::string &path, int threads, bool as_rgbe) { return read_pfm(path, as_rgbe, threads); }},
    {.label = "PNG",
     .name = "png",
     .extensions = kPngExtensions,
     .probe = is_png,
     .read = [](const std::string &path, int, bool) { return read_png(path); },
     .write = [](int fd, const Picture &pic, const WriteOptions &) { return write_png(fd, pic); },
     .holds_8_bits = true,
     .holds_16_bits = true},
    {.label = "JPEG",
     .name = "jpeg",
     .extensions = kJpegExtensions,
     .write = [](int fd, const Picture &pic, const WriteOptions &o) { return write_jpeg(fd, pic, o.jpeg_quality); },
     .holds_8_bits = true},
};

bool iequals(const std::string &a, const char *b) {
  return a.size() == std::strlen(b) &&
         std::equal(a.begin(), a.end(), b, [](unsigned char x, char y) { return std::tolower(x) == y; });
}

// The writable formats, the default first, then in the table's order.
std::vector<const FormatDescriptor *> writable_formats() {
  std::vector<const FormatDescriptor *> out{&default_output_format()};
  for (const FormatDescriptor &f : kFormats)
    if (f.write && &f != out.front()) out.push_back(&f);
  return out;
}

// "a, b or c".
std::string join_or(const std::vector<std::string> &items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : i + 1 == items.size() ? " or " : ", ") + items[i];
  return out;
}

}  // namespace

std::span<const FormatDescriptor> all_formats() { return kFormats; }

const FormatDescriptor &default_output_format() {
  // PNG: lossless, 8 or 16 bits, and it can go to a pipe.
  static const FormatDescriptor &png = *std::find_if(
      std::begin(kFormats), std::end(kFormats), [](const FormatDescriptor &f) { return f.name == std::string("png"); });
  return png;
}

const FormatDescriptor *format_of_bytes(const unsigned char *head, size_t n) {
  for (const FormatDescriptor &f : kFormats)
    if (f.probe && f.probe(head, n)) return &f;
  return nullptr;
}

const FormatDescriptor *format_of_extension(const std::string &path) {
  const std::string ext = std::filesystem::path(path).extension().string();
  for (const FormatDescriptor &f : kFormats)
    for (const char *e : f.extensions)
      if (iequals(ext, e)) return &f;
  return nullptr;
}

const FormatDescriptor *output_format_named(const std::string &name) {
  for (const FormatDescriptor *f : writable_formats()) {
    if (iequals(name, f->name)) return f;
    for (const char *e : f->extensions)
      if (iequals(name, e + 1)) return f;
  }
  return nullptr;
}

const FormatDescriptor *output_format_of_path(const std::string &path) {
  const FormatDescriptor *f = format_of_extension(path);
  return f && f->write ? f : nullptr;
}

std::string readable_labels() {
  std::string out;
  for (const FormatDescriptor &f : kFormats)
    if (f.read) out += (out.empty() ? "" : ", ") + std::string(f.label);
  return out;
}

std::string output_format_names() {
  std::vector<std::string> names;
  for (const FormatDescriptor *f : writable_formats()) names.push_back(f->name);
  return join_or(names);
}

std::string output_format_extensions() {
  std::vector<std::string> extensions;
  for (const FormatDescriptor *f : writable_formats()) extensions.push_back(f->extensions.front());
  return join_or(extensions);
}

std::string output_format_labels(bool (*keep)(const FormatDescriptor &)) {
  std::vector<std::string> labels;
  for (const FormatDescriptor *f : writable_formats())
    if (keep(*f)) labels.push_back(f->label);
  return join_or(labels);
}

Result<Image> read_image(const std::string &path, int threads, bool as_rgbe) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(path, std::string("cannot open: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return fail(path, "is a folder, not an image file");
  // Readers reopen and seek the file, and opening a pipe with no writer never returns.
  if (!S_ISREG(st.st_mode)) return fail(path, "not a regular file (a pipe or device cannot be read)");

  unsigned char head[16] = {};
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return fail(path, std::string("cannot open: ") + std::strerror(errno));
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  if (n == 0) return fail(path, "the file is empty");

  const FormatDescriptor *format = format_of_bytes(head, n);
  if (format == nullptr) {
    format = format_of_extension(path);
    if (format && !format->read_by_extension) format = nullptr;
  }
  if (format == nullptr || format->read == nullptr)
    return fail(path, "unknown file format (supported: " + readable_labels() + ")");
  return format->read(path, threads, as_rgbe);
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

}  // namespace brightloom
