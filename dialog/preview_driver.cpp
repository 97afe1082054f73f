// SPDX-License-Identifier: MIT
#include "preview_driver.h"

#include <QColorSpace>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

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
  // The document's primaries with the curve the samples were encoded with.
  if (space.isValid() && docType == 0 && encoded22)
    space = space.withTransferFunction(QColorSpace::TransferFunction::Gamma, 2.2f);
  if (space.isValid()) image.setColorSpace(space);
  return image;
}

namespace {

// A Details Enhancer preview of a float document in the samples the picture written from it
// holds: its 16-bit linear result encoded with the exact 1/2.2 power, rounded to bytes. A
// runner that gave no 16-bit result has its 8-bit one encoded instead.
Buffer encoded_for_display(const Buffer &linear16, const Buffer &linear8, size_t n) {
  Buffer out = Buffer::allocate(int64_t(n), 1, false);
  if (!out) return out;
  unsigned char *dst = out.data();
  if (linear16) {
    static const std::vector<unsigned char> lut = [] {
      std::vector<unsigned char> t(65536);
      for (int v = 0; v < 65536; ++v)
        t[size_t(v)] = (unsigned char)std::lround(std::pow(v / 65535.0, 1.0 / 2.2) * 255.0);
      return t;
    }();
    const uint16_t *src = linear16.as<uint16_t>();
    for (size_t i = 0; i < n; ++i) dst[i] = lut[src[i]];
  } else {
    unsigned char lut[256];
    for (int v = 0; v < 256; ++v) lut[v] = (unsigned char)std::lround(std::pow(v / 255.0, 1.0 / 2.2) * 255.0);
    const unsigned char *src = linear8.data();
    for (size_t i = 0; i < n; ++i) dst[i] = lut[src[i]];
  }
  return out;
}

}  // namespace

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
  // A size that rounds to no pixel at all (a very long, thin document) cannot be cut.
  if (_qvW <= 0 || _qvH <= 0) return TMLIB_ERR_OPEN;
  const int kind = doc_.docType == 0 ? TMLIB_SOURCE_FLOAT : doc_.docType;
  pipeline::Source fresh;
  const int r = pipeline::make_source(kind, doc_.iMax, doc_.jMax, doc_.spp, int64_t(doc_.iMax) * doc_.spp, doc_.pixels,
                                      _qvW, _qvH, fresh);
  // A cut the engine refused leaves a blank source that would be tone-mapped as black.
  if (r < 0) return r == TMLIB_ERR_NO_MEMORY ? r : TMLIB_ERR_OPEN;
  if (fresh.doc_type == 0) {
    float stats[TMLIB_LUM_PARAMS] = {};
    // Whatever made them fail (memory included), statistics that cannot be taken are -1: -4
    // says the source itself could not be allocated.
    if (statistics(fresh, stats) < 0) return TMLIB_ERR_OPEN;
  }
  source_ = std::move(fresh);
  memo_.forget();
  return 1;
}

BitmapPtr PreviewDriver::bitmapFrom(Buffer pixels, bool encoded22) const {
  auto bitmap = std::make_shared<PreviewBitmap>();
  bitmap->width = source_.width;
  bitmap->height = source_.height;
  bitmap->spp = source_.spp;
  bitmap->docType = doc_.docType;
  bitmap->encoded22 = encoded22;
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
  // A float document is drawn from a result encoded like the picture written from it: the
  // Details Enhancer's is also finished at 16 bits and encoded below; the Tone Compressor's own
  // result, before the display power, is that encoding already.
  const bool floatDoc = doc_.docType == 0;
  const bool details = req.method == pipeline::Method::Details;
  req.also_16_bits = floatDoc && details;
  req.tone_compressor_display_power = !floatDoc;
  req.memo = &memo_;
  pipeline::Outcome out = runner(source_, req);
  result.code = out.code;
  result.tooSmall = out.too_small;
  if (!out.ok()) return result;
  const size_t n = size_t(W) * size_t(H) * size_t(spp);

  // The bytes the histogram is taken of: the linear 8-bit result (the Tone Compressor's with
  // its display power applied, as a run applies it).
  Buffer shown;
  if (histogramCopy_.size() != out.pixels.size()) histogramCopy_ = Buffer::allocate(int64_t(out.pixels.size()), 1);
  Buffer &copy = histogramCopy_;
  if (copy) std::memcpy(copy.data(), out.pixels.data(), copy.size());
  if (floatDoc && !details) {
    shown = std::move(out.pixels);
    if (copy) pipeline::display_power(copy, 8, int64_t(n));
  } else if (floatDoc) {
    shown = encoded_for_display(out.pixels16, out.pixels, n);
    if (!shown) {
      result.code = TMLIB_ERR_NO_MEMORY;
      return result;
    }
  } else {
    shown = std::move(out.pixels);
  }

  // The histogram counts the values before the 2.2 display power of float documents' previews.
  if (copy) {
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
  result.bitmap = bitmapFrom(std::move(shown), floatDoc);
  return result;
}

}  // namespace brightloom::dialog
