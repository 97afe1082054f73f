// SPDX-License-Identifier: MIT
#include "views/histo_lum_view.h"

#include <QPainter>
#include <QPainterPath>
#include <QPaintEvent>

#include <algorithm>
#include <cstdint>
#include <cstring>

HistoLumView::HistoLumView(QWidget *parent) : QWidget(parent) {}

void HistoLumView::paintEvent(QPaintEvent *event) {
  if (_drawHisto == 0) return;
  QPainter painter(this);
  painter.fillRect(event->rect(), Qt::white);
  if (_histoData.size() != 256 * int(sizeof(int32_t)) || _histMax == 0) return;

  int32_t bins[256];
  std::memcpy(bins, _histoData.constData(), sizeof bins);
  const float W = float(width()), H = float(height());
  const float binsPerPixel = 1.0f / (W * 0.00390625f);
  const float s = float((double(H) - 1.0) / double(_histMax));

  // Columns at whole x from 0, y up from the bottom edge: Qt's y runs down, so a column of
  // height `top` covers the rows H - top .. H - 1.
  QPainterPath path;
  const int columns = int(W);
  for (int i = 0; i < columns; ++i) {
    const int b = std::min(int(binsPerPixel * float(i)), 255);
    const int32_t v = bins[b];
    float top = v == 0 ? 0.0f : s * float(v) + 1.0f;
    top = std::min(top, H);
    path.moveTo(i + 0.5, H);
    path.lineTo(i + 0.5, H - top);
  }
  QColor colour = Qt::black;
  if (_clr == 1)
    colour = Qt::red;
  else if (_clr == 2)
    colour = Qt::green;
  else if (_clr == 3)
    colour = Qt::blue;
  QPen pen(colour);
  pen.setWidthF(1.0);
  pen.setCapStyle(Qt::FlatCap);
  painter.setPen(pen);
  painter.drawPath(path);
}
