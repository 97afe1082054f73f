// SPDX-License-Identifier: MIT
// BLView: the tone-mapped preview, drawn scaled down to fit and centred, never enlarged, and
// colour-managed: the image is converted from its colour space to the screen's.
#pragma once

#include <QImage>
#include <QWidget>

#include <memory>

#include "brightloom/plugin.h"
#include "export.h"

namespace brightloom::dialog {
class ColourConversion;
}

class BRIGHTLOOM_DIALOG_EXPORT BLView : public QWidget {
  Q_OBJECT

 public:
  explicit BLView(QWidget *parent = nullptr);
  ~BLView() override;

  // Stores the image; does not repaint (the controller asks for that after setting it). An image
  // with a colour space is shown converted to the screen's; one without is drawn as it is.
  void setPreviewImage(const QImage &image);
  // The image as it was set (null until the first preview).
  const QImage &previewImage() const { return _previewImage; }

  // Where an image of imageSize is drawn inside area r (both y up): its own size when it fits,
  // otherwise scaled down uniformly to fit, centred on r's centre.
  static NSRect drawingRect(NSSize imageSize, NSRect r);

 protected:
  void paintEvent(QPaintEvent *event) override;

 private:
  QImage _previewImage;
  QImage displayed_;  // _previewImage in the screen's colour space, Format_RGB32
  std::unique_ptr<brightloom::dialog::ColourConversion> conversion_;  // the last one built
};
