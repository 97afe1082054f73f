// SPDX-License-Identifier: MIT
#include "preview_driver.h"

#include <QColorSpace>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <tmlib/tmlib.h>

namespace brightloom::dialog {

int size_type_from_dim(int dim) {
  for (int t = 1; t < 9; ++t)
    if (SizeTypeTable[t] == dim) return t;
  return 0;
}

const char *csNameFromSpp(int spp) { return spp == 1 ? "NSCalibratedWhiteColorSpace" : "NSCalibratedRGBColorSpace"; }

QImage PreviewBitmap::viewImage() const {
  if (!pixels || width <= 0 || height <= 0 || spp < 1) return QImage();
  const unsigned char *src = pixels.data();
  const size_t rowBytes = size_t(spp) * size_t(width);
  QImage image;
  if (spp == 1) {
    image = QImage(width, height, QImage::Format_Grayscale8);
    if (image.isNull()) return image;
    for (int y = 0; y < height; ++y) std::memcpy(image.scanLine(y), src + size_t(y) * rowBytes, size_t(width));
  } else {
    image = QImage(width, height, QImage::Format_RGB32);
    if (image.isNull()) return image;
    const int g = (spp - 1) / 2, b = spp - 1;
    for (int y = 0; y < height; ++y) {
      const unsigned char *p = src + size_t(y) * rowBytes;
      QRgb *row = reinterpret_cast<QRgb *>(image.scanLine(y));
      for (int x = 0; x < width; ++x, p += spp) row[x] = qRgb(p[0], p[g], p[b]);
    }
  }
  QColorSpace space;
  if (!profile.isEmpty()) space = QColorSpace::fromIccProfile(profile);
  // A float document's results are linear light by definition: without a profile Qt can read,
  // they are shown with sRGB primaries rather than as if they were display-encoded.
  if (!space.isValid() && docType == 0) space = QColorSpace(QColorSpace::SRgbLinear);
  if (space.isValid()) image.setColorSpace(space);
  return image;
}

PreviewDriver::PreviewDriver(const Document &doc, int workers_, QByteArray profile)
    : workers(workers_), doc_(doc), profile_(std::move(profile)) {
  // 8-bit documents are previewed through the 16-bit path (their source is widened x256), so
  // they take the 65,536-entry curve too: a 256-entry table is never indexed with 16-bit values.
  if (doc.docType == 1 || doc.docType == 2) _camCurve = pipeline::camera_curve(65536);
}

void PreviewDriver::setDimFromSizeType(int type) {
  if (unsigned(type) > 8u) return;
  _qvDim = SizeTypeTable[type];
}

void PreviewDriver::computeDimensions() { pipeline::preview_dimensions(_qvDim, doc_.iMax, doc_.jMax, _qvW, _qvH); }

int PreviewDriver::makeSource() {
  const int kind = doc_.docType == 0 ? TMLIB_SOURCE_FLOAT : doc_.docType;
  pipeline::Source fresh;
  const int r = pipeline::make_source(kind, doc_.iMax, doc_.jMax, doc_.spp, int64_t(doc_.iMax) * doc_.spp, doc_.pixels,
                                      _qvW, _qvH, fresh);
  // A cut the engine refused leaves a blank source that would be tone-mapped as black.
  if (r < 0) return r == TMLIB_ERR_NO_MEMORY ? r : TMLIB_ERR_OPEN;
  if (fresh.doc_type == 0) {
    float stats[TMLIB_LUM_PARAMS] = {};
    if (const int s = pipeline::source_statistics(fresh, stats); s < 0) return s;
  }
  source_ = std::move(fresh);
  memo_.forget();
  return 1;
}

BitmapPtr PreviewDriver::bitmapFrom(Buffer pixels) const {
  auto bitmap = std::make_shared<PreviewBitmap>();
  bitmap->width = source_.width;
  bitmap->height = source_.height;
  bitmap->spp = source_.spp;
  bitmap->docType = doc_.docType;
  bitmap->pixels = std::move(pixels);
  bitmap->profile = profile_;
  return bitmap;
}

PreviewResult PreviewDriver::compute(int method, const float *record, bool original) {
  PreviewResult result;
  if (!source_.pixels) {
    result.code = TMLIB_ERR_OPEN;
    return result;
  }
  const int W = source_.width, H = source_.height, spp = source_.spp;

  if (original) {
    Buffer pixels;
    const int r = pipeline::original_view(source_, doc_.docType == 2, carry.white_point, pixels);
    result.code = r < 0 ? TMLIB_ERR_OPEN : r;
    if (r > 0) result.bitmap = bitmapFrom(std::move(pixels));
    return result;
  }

  float param[TMLIB_TMPARAM_SLOTS] = {};
  if (record != nullptr) std::memcpy(param, record, sizeof param);
  if (curveMissing()) {
    result.code = TMLIB_ERR_NO_MEMORY;
    return result;
  }
  pipeline::Request req;
  req.method = method == TMLIB_METHOD_COMPRESSOR ? pipeline::Method::Compressor : pipeline::Method::Details;
  req.param = param;
  req.out_bits = 8;
  req.workers = workers;
  req.carry = &carry;
  req.camera_curve = _camCurve ? _camCurve.as<float>() : nullptr;
  req.memo = &memo_;
  pipeline::Outcome out = runner(source_, req);
  result.code = out.code;
  result.tooSmall = out.too_small;
  if (!out.ok()) return result;

  // The histogram counts the values before the 2.2 display power of float documents' previews.
  if (histogramCopy_.size() != out.pixels.size()) histogramCopy_ = Buffer::allocate(int64_t(out.pixels.size()), 1);
  Buffer &copy = histogramCopy_;
  if (copy) {
    std::memcpy(copy.data(), out.pixels.data(), copy.size());
    if (doc_.docType == 0) {
      unsigned char g[256];
      for (int i = 0; i < 256; ++i) {
        const float x = float(i) * 0.00390625f;
        const int v = int(std::pow(double(x), double(0.4545454680919647f)) * 256.0);
        g[i] = (unsigned char)std::clamp(v, 0, 255);
      }
      unsigned char *p = copy.data();
      for (size_t i = 0; i < copy.size(); ++i) p[i] = g[p[i]];
    }
    if (histo4preview(W, H, spp, copy.data(), result.histogram.data()) >= 0) {
      result.hasHistogram = true;
      result.histMax = getHistoMax(result.histogram.data());
    }
  }
  result.bitmap = bitmapFrom(std::move(out.pixels));
  return result;
}

}  // namespace brightloom::dialog
