// SPDX-License-Identifier: MIT
// The preview loop without widgets: preview sizes, the preview source cut once per size, one
// preview computed through the pipeline library for either method, the "Show Original" view,
// the 8-bit bitmap with the document's profile, and the histogram of each preview.
#pragma once

#include <QByteArray>
#include <QImage>

#include <array>
#include <cstdint>
#include <memory>

#include "brightloom/buffer.h"
#include "brightloom/pipeline.h"
#include "export.h"

namespace brightloom::dialog {

// The preview height of each size type 0..8.
inline constexpr int SizeTypeTable[9] = {400, 572, 683, 768, 853, 939, 1024, 1067, 1152};
// The size type of a preview height: 1..8 for the table's values from 572 on, 0 for any other.
BRIGHTLOOM_DIALOG_EXPORT int size_type_from_dim(int dim);

// "NSCalibratedWhiteColorSpace" for one sample a pixel, "NSCalibratedRGBColorSpace" otherwise.
BRIGHTLOOM_DIALOG_EXPORT const char *csNameFromSpp(int spp);

// One preview as the view shows it: 8-bit samples, spp a pixel, rows of spp x width bytes, and
// the document's ICC profile (empty: none).
struct BRIGHTLOOM_DIALOG_EXPORT PreviewBitmap {
  int width = 0;
  int height = 0;
  int spp = 0;
  int docType = 0;
  // A float document's tone-mapped preview holds its samples encoded with the 1/2.2 power, as
  // the picture written from it does: in linear bytes everything below 1/255 of white would be
  // black. Its original view stays linear light.
  bool encoded22 = false;
  Buffer pixels;
  QByteArray profile;
  const char *colorSpaceName() const { return csNameFromSpp(spp); }
  // The image the preview view is given: grey for one sample a pixel, RGB from the channels
  // red 0, green (spp - 1) / 2, blue spp - 1 otherwise. Its colour space is the profile's when Qt
  // can read it; a float document's preview without one has sRGB primaries. A float document's
  // samples are linear light, or encoded with a pure 2.2 curve (encoded22).
  QImage viewImage() const;
};
using BitmapPtr = std::shared_ptr<const PreviewBitmap>;

// The document as the host handed it.
struct Document {
  int iMax = 0, jMax = 0, spp = 3, docType = 0;
  const void *pixels = nullptr;
};

// Runs one method on a source; the dialog uses pipeline::run. Tests put failures in its place.
using PreviewRunner = pipeline::Outcome (*)(pipeline::Source &, const pipeline::Request &);

// Takes the statistics of a float document's source; the dialog uses pipeline::source_statistics.
using SourceStatistics = int (*)(const pipeline::Source &, float *);

// What one preview computation gave.
struct PreviewResult {
  int code = 0;               // > 0 success; otherwise the failure (the engine's result or -4)
  bool tooSmall = false;      // the Details Enhancer refused the preview size
  BitmapPtr bitmap;           // the new preview, on success
  bool hasHistogram = false;  // on success of a tone-mapped preview (not the original)
  std::array<int32_t, 256> histogram{};
  int histMax = 0;
};

class BRIGHTLOOM_DIALOG_EXPORT PreviewDriver {
 public:
  PreviewDriver(const Document &doc, int workers, QByteArray profile);

  // _qvDim from a size type; a type above 8 (taken as unsigned) changes nothing.
  void setDimFromSizeType(int type);
  int sizeTypeFromDim() const { return size_type_from_dim(_qvDim); }
  // _qvW and _qvH from _qvDim and the document's size.
  void computeDimensions();

  // Cuts a new preview source at _qvW x _qvH and, for float documents, checks that its
  // statistics can be taken. 1, or -4 (no memory for the source) or -1 (statistics that
  // cannot be taken, for whatever reason; a refused cut; a size of no pixels); on failure the
  // previous source is kept.
  int makeSource();
  bool hasSource() const { return bool(source_.pixels); }

  // Computes one preview of `method` with `record` (20 floats; null: zeros). With `original`
  // the untouched source is shown instead (kind 1 of the dialog).
  PreviewResult compute(int method, const float *record, bool original);

  // The camera curve of 16-bit and 8-bit documents (65,536 entries; 8-bit documents are
  // previewed through the 16-bit path), empty for float documents.
  const Buffer &camCurve() const { return _camCurve; }
  bool curveMissing() const { return doc_.docType != 0 && !_camCurve; }

  int _qvDim = SizeTypeTable[1];
  int _qvW = 0;
  int _qvH = 0;
  pipeline::Carry carry;  // _Lwa, _Lwmax, _Lwmed and _percentileWhitePoint
  int workers = 1;
  PreviewRunner runner = &pipeline::run;
  SourceStatistics statistics = [](const pipeline::Source &s, float *stats) {
    return pipeline::source_statistics(s, stats);
  };

 private:
  BitmapPtr bitmapFrom(Buffer pixels, bool encoded22 = false) const;

  Document doc_;
  QByteArray profile_;
  Buffer _camCurve;
  pipeline::Source source_;
  // The stages' results kept between refreshes of this source, their scratch space and the
  // worker threads of the refreshes (joined when the dialog closes).
  pipeline::Memo memo_;
  Buffer histogramCopy_;  // the preview before the display power, for its histogram
};

}  // namespace brightloom::dialog
