// SPDX-License-Identifier: MIT
#include "write_exr.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfOutputFile.h>
#include <ImfStandardAttributes.h>
#include <ImfStringAttribute.h>
#include <ImfThreading.h>
#include <half.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <vector>

#include "cleanup.h"
#include "image.h"
#include "io/replace_file.h"

namespace brightloom {

namespace {

// OpenEXR writes its offset table last and then goes back to fill it in, so the stream writes
// at explicit positions. A failed write is remembered as well as thrown: OpenEXR's output file
// swallows anything thrown while it finishes the file in its destructor.
class DescriptorStream : public Imf::OStream {
 public:
  explicit DescriptorStream(int fd) : Imf::OStream("OpenEXR output"), fd_(fd) {}
  void write(const char c[], int n) override {
    while (n > 0) {
      const ssize_t done = ::pwrite(fd_, c, size_t(n), off_t(pos_));
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) {
        error_ = done < 0 ? errno : ENOSPC;
        throw std::runtime_error(std::strerror(error_));
      }
      c += done;
      n -= int(done);
      pos_ += uint64_t(done);
    }
  }
  uint64_t tellp() override { return pos_; }
  void seekp(uint64_t pos) override { pos_ = pos; }
  int error() const { return error_; }

 private:
  int fd_;
  uint64_t pos_ = 0;
  int error_ = 0;
};

}  // namespace

Status write_exr(const std::string &path, const ExrImage &img) {
  if (Status s = check_output_target(path); !s) return fail(path, s.failure().reason);
  Status written;
  const auto write = [&](int fd) {
    if (::lseek(fd, 0, SEEK_CUR) < 0) {
      written = fail(path, "an OpenEXR file is written out of order and cannot go to a pipe; name a file");
      return false;
    }
    DescriptorStream stream(fd);
    try {
      const int fw = img.full_width > 0 ? img.full_width : img.width,
                fh = img.full_height > 0 ? img.full_height : img.height;
      Imf::Header header(
          Imath::Box2i(Imath::V2i(0, 0), Imath::V2i(fw - 1, fh - 1)),
          Imath::Box2i(Imath::V2i(img.x0, img.y0), Imath::V2i(img.x0 + img.width - 1, img.y0 + img.height - 1)));
      header.compression() = Imf::ZIP_COMPRESSION;
      const Imf::PixelType type = img.half ? Imf::HALF : Imf::FLOAT;
      for (const char *name : {"R", "G", "B"}) header.channels().insert(name, Imf::Channel(type));
      const Chromaticities &c = img.primaries;
      Imf::addChromaticities(header,
                             Imf::Chromaticities(Imath::V2f(c.red_x, c.red_y), Imath::V2f(c.green_x, c.green_y),
                                                 Imath::V2f(c.blue_x, c.blue_y), Imath::V2f(c.white_x, c.white_y)));
      for (const auto &[key, value] : img.attributes) header.insert(key, Imf::StringAttribute(value));
      // The compression tasks run on OpenEXR's global pool: make it as large as asked.
      if (img.threads > 1 && Imf::globalThreadCount() < img.threads) Imf::setGlobalThreadCount(img.threads);
      Imf::OutputFile out(stream, header, std::max(1, img.threads));
      // A band of rows at a time: half samples need converting, and floats are written as they are.
      // Bands of whole compression blocks, several per thread.
      const int band = 16 * 8 * std::max(1, img.threads);
      std::vector<half> halves;
      if (img.half) halves.resize(size_t(img.width) * band * 3);
      for (int y = 0; y < img.height; y += band) {
        const int rows = std::min(band, img.height - y);
        Imf::FrameBuffer fb;
        const size_t xs = img.half ? sizeof(half) * 3 : sizeof(float) * 3;
        const size_t ys = xs * size_t(img.width);
        char *base_ptr;
        if (img.half) {
          const float *src = img.rgb + size_t(y) * img.width * 3;
          for (size_t i = 0; i < size_t(rows) * img.width * 3; ++i) {
            // Beyond half's range (65504) is infinity; keep the brightest finite value instead.
            const float v = std::isfinite(src[i]) ? std::min(std::max(src[i], 0.0f), 65504.0f) : 0.0f;
            halves[i] = half(v);
          }
          base_ptr = reinterpret_cast<char *>(halves.data()) - ptrdiff_t(size_t(y + img.y0) * ys);
        } else {
          base_ptr = reinterpret_cast<char *>(const_cast<float *>(img.rgb)) - ptrdiff_t(size_t(img.y0) * ys);
        }
        base_ptr -= ptrdiff_t(size_t(img.x0) * xs);
        const size_t chan = img.half ? sizeof(half) : sizeof(float);
        fb.insert("R", Imf::Slice(type, base_ptr, xs, ys));
        fb.insert("G", Imf::Slice(type, base_ptr + chan, xs, ys));
        fb.insert("B", Imf::Slice(type, base_ptr + 2 * chan, xs, ys));
        out.setFrameBuffer(fb);
        out.writePixels(rows);
      }
    } catch (const std::exception &e) {
      const std::string full = disk_full_reason(stream.error() ? stream.error() : errno);
      written = fail(path, "cannot write the OpenEXR file: " + (full.empty() ? std::string(e.what()) : full));
      return false;
    }
    // The offset table is written as the output file closes, where OpenEXR keeps any failure
    // to itself.
    if (stream.error()) {
      const std::string full = disk_full_reason(stream.error());
      written = fail(
          path, "cannot write the OpenEXR file: " + (full.empty() ? std::string(std::strerror(stream.error())) : full));
      return false;
    }
    return true;
  };
  tmlib::ReplaceOptions replace;
  // Written like the pictures: made again from the frames, so no flush to the disk.
  replace.durable = false;
  // Removed by the interrupt handler should the program be stopped while writing.
  replace.track = register_temp_file;
  replace.untrack = unregister_temp;
  const tmlib::ReplaceResult r = tmlib::replace_file(path, write, replace);
  if (r.ok()) return {};
  if (!written) return written;
  const std::string full = disk_full_reason(r.error);
  return fail(path, full.empty() ? tmlib::replace_fault_reason(r) : "cannot write the OpenEXR file: " + full);
}

}  // namespace brightloom
