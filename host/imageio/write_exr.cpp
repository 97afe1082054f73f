// SPDX-License-Identifier: MIT
#include "write_exr.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <ImfStandardAttributes.h>
#include <ImfStringAttribute.h>
#include <ImfThreading.h>
#include <half.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "cleanup.h"
#include "image.h"

namespace brightloom {

Status write_exr(const std::string &path, const ExrImage &img) {
  if (Status s = check_output_target(path); !s) return fail(path, s.failure().reason);
  const auto slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = folder + "/." + base + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return fail(path, std::string("cannot create the file: ") + std::strerror(errno));
  // mkstemp makes the file private; the picture gets the permissions any new file would.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);
  const int slot = register_temp_file(temp.c_str());
  auto give_up = [&](const std::string &why) {
    ::unlink(temp.c_str());
    unregister_temp(slot);
    return fail(path, why);
  };
  try {
    const int fw = img.full_width > 0 ? img.full_width : img.width, fh = img.full_height > 0 ? img.full_height : img.height;
    Imf::Header header(Imath::Box2i(Imath::V2i(0, 0), Imath::V2i(fw - 1, fh - 1)),
                       Imath::Box2i(Imath::V2i(img.x0, img.y0), Imath::V2i(img.x0 + img.width - 1, img.y0 + img.height - 1)));
    header.compression() = Imf::ZIP_COMPRESSION;
    const Imf::PixelType type = img.half ? Imf::HALF : Imf::FLOAT;
    for (const char *name : {"R", "G", "B"}) header.channels().insert(name, Imf::Channel(type));
    const Chromaticities &c = img.primaries;
    Imf::addChromaticities(header, Imf::Chromaticities(Imath::V2f(c.red_x, c.red_y), Imath::V2f(c.green_x, c.green_y),
                                                       Imath::V2f(c.blue_x, c.blue_y), Imath::V2f(c.white_x, c.white_y)));
    for (const auto &[key, value] : img.attributes) header.insert(key, Imf::StringAttribute(value));
    // The compression tasks run on OpenEXR's global pool: make it as large as asked.
    if (img.threads > 1 && Imf::globalThreadCount() < img.threads) Imf::setGlobalThreadCount(img.threads);
    Imf::OutputFile out(temp.c_str(), header, std::max(1, img.threads));
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
    const std::string full = disk_full_reason(errno);
    return give_up("cannot write the OpenEXR file: " + (full.empty() ? std::string(e.what()) : full));
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) return give_up(std::string("cannot rename the finished file into place: ") + std::strerror(errno));
  unregister_temp(slot);
  return {};
}

}  // namespace brightloom
