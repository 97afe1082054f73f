// SPDX-License-Identifier: MIT
// Decoded images as the host hands them to the engine, finished pictures, and the readers and
// writers of the file formats (one file each; formats.h describes each format and chooses
// among them).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "brightloom/buffer.h"
#include "primaries.h"
#include "result.h"

namespace brightloom {

// How the pixel buffer of an Image is laid out.
enum class SampleType {
  F32,   // interleaved 32-bit floats, linear light (docType 0)
  RGBE,  // scanline-planar RGBE rows (Radiance files; float files read for rendering) (docType 0)
  U16,   // interleaved 16-bit samples scaled to 0..32768 (docType 1)
  U8,    // interleaved 8-bit samples (docType 2)
};

struct Image {
  int width = 0;
  int height = 0;
  int spp = 0;  // 1 (grey) or 3 (RGB); readers drop alpha and other extra channels
  SampleType type = SampleType::F32;
  Buffer pixels;
  std::vector<unsigned char> icc;  // the file's embedded ICC profile, empty when none
  std::string kind;                // what the file was, for messages: "OpenEXR half RGB"
  // Float documents: the primaries of the linear samples, and where they come from (empty:
  // the file names none, so Rec. 709/sRGB; adopt_primaries says when they were assumed).
  Chromaticities primaries = kRec709;
  std::string primaries_origin;
  std::vector<std::string> warnings;  // what a reader passed over, for the user
  double encode_seconds = 0;          // time a reader spent encoding float rows as RGBE

  // The document kind of the host records: 0 float, 1 16-bit, 2 8-bit.
  int doc_type() const {
    switch (type) {
      case SampleType::U16:
        return 1;
      case SampleType::U8:
        return 2;
      default:
        return 0;
    }
  }
  int64_t pixel_count() const { return int64_t(width) * int64_t(height); }

  // Takes the primaries a file names (origin: "the chromaticities attribute"); implausible ones
  // leave Rec. 709/sRGB in place and a warning that says why.
  void adopt_primaries(const Chromaticities &c, const std::string &origin);
};

// The finished picture: interleaved 8- or 16-bit samples (16-bit in native byte order).
struct Picture {
  int width = 0;
  int height = 0;
  int spp = 0;   // 1 or 3
  int bits = 8;  // 8 or 16
  Buffer pixels;
  std::vector<unsigned char> icc;  // always set before writing
};

struct FormatDescriptor;

struct WriteOptions {
  int jpeg_quality = 92;
};

// The most pixels a file may declare: 2^30, a gigapixel (46,340 x 23,170, say). The Details
// Enhancer counts the cells of its pyramids (a third more than the pixels) in 32-bit
// integers, and such a picture already takes 4 GiB as RGBE and some 40 bytes a pixel to
// render. A larger declaration comes from a damaged or hostile file, and is refused before
// any buffer of that size is asked for, by this program or by a format's library.
constexpr int64_t kMaxPixels = int64_t(1) << 30;

// Checks a file's declared size before anything is allocated for it: at most kMaxPixels, and
// no more raw bytes than a file of file_bytes can hold at the highest compression ratio its
// coding allows (max_ratio; 0 when that has no useful bound). what names the format.
// (raw_bytes is a double: it is checked before it is known to fit an integer.)
Status check_declared_size(const char *what, int64_t width, int64_t height, double raw_bytes, int64_t file_bytes,
                           int max_ratio);

// Readers: each checks its header before allocating and names what is wrong.
// as_rgbe: deliver float files already encoded as RGBE rows, as the renderer needs them,
// without ever holding the whole image as floats (OpenEXR, PFM, stripped contiguous TIFF;
// other float files are read as floats and encoded by the renderer).
Result<Image> read_exr(const std::string &path, int threads, bool as_rgbe = false);
Result<Image> read_radiance(const std::string &path);
Result<Image> read_tiff(const std::string &path, bool as_rgbe = false, int threads = 1);
Result<Image> read_pfm(const std::string &path, bool as_rgbe = false, int threads = 1);
Result<Image> read_png(const std::string &path);

// Reads any supported file, chosen by its first bytes (not its name; headerless Radiance files
// by their extension).
Result<Image> read_image(const std::string &path, int threads = 1, bool as_rgbe = false);

// Writers: write the whole picture to an open, empty file descriptor; the descriptor is
// closed by the writer in every case. The caller owns the naming (temporary name, rename).
Status write_png(int fd, const Picture &pic);
Status write_tiff(int fd, const Picture &pic);
Status write_jpeg(int fd, const Picture &pic, int quality);

// Writes pic to path through a temporary file in the same folder, renamed into place only
// when complete; on failure nothing is left under either name. A symbolic link is written
// through to its target; a device or pipe is written in place; a folder, a socket or a
// read-only file is refused.
Status write_picture(const std::string &path, const FormatDescriptor &format, const Picture &pic,
                     const WriteOptions &options);
// The refusals of write_picture, for a check before the work that leads to the picture.
Status check_output_target(const std::string &path);
// A full disk (or quota, or file-size limit) named as such from the errno of a failed write;
// empty for any other error, whose own message says more.
std::string disk_full_reason(int error);
// A stream over fd for a writer to encode into, with errno cleared so that the cause of a
// failed write can be told from it; nullptr (fd closed) when none can be made.
FILE *open_stream_for_writing(int fd);
// Flushes and closes the stream a writer has encoded into, and says what went wrong, in the
// format's name: the encoder's error (encode_error, with the errno it was raised with), else
// a failed flush or close.
Status close_written_file(FILE *fp, const char *format, const char *encode_error, int encode_errno);

// Parses the PFM header at the start of data (size bytes). On success fills the fields and
// the offset of the first sample; the reason of a refusal otherwise. Exposed for the fuzzer.
struct PfmHeader {
  int width = 0;
  int height = 0;
  int channels = 0;
  bool little_endian = true;
  size_t data_offset = 0;
};
Result<PfmHeader> parse_pfm_header(const unsigned char *data, size_t size);

}  // namespace brightloom
