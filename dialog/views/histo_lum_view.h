// SPDX-License-Identifier: MIT
// HistoLumView: a 256-bin luminance histogram drawn as one vertical line per pixel column on
// white, scaled so that the value histMax reaches the top. It computes nothing itself.
#pragma once

#include <QByteArray>
#include <QWidget>

#include "export.h"

class BRIGHTLOOM_DIALOG_EXPORT HistoLumView : public QWidget {
  Q_OBJECT

 public:
  explicit HistoLumView(QWidget *parent = nullptr);

  // 256 bins as native 32-bit integers (1024 bytes), bin 0 darkest; anything else counts as
  // no data.
  void setHistoData(const QByteArray &data) { _histoData = data; }
  const QByteArray &histoData() const { return _histoData; }
  void setHistMax(int max) { _histMax = max; }
  int histMax() const { return _histMax; }
  // Line colour: 1 red, 2 green, 3 blue, anything else black.
  void setClr(int clr) { _clr = clr; }
  // 0: the view draws nothing at all, not even its white background.
  void setDrawHisto(char draw) { _drawHisto = draw; }

 protected:
  void paintEvent(QPaintEvent *event) override;

 private:
  QByteArray _histoData;
  int _clr = 0;
  int _histMax = 0;
  char _drawHisto = 1;
};
