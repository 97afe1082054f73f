// SPDX-License-Identifier: MIT
#include "settings_store.h"

#include <tmlib/tmlib.h>

#include <cmath>

namespace brightloom::dialog {

TmParam current_record(int method, const ControlValues &v) {
  TmParam r{};
  if (method == TMLIB_METHOD_DETAILS) {
    r[TMLIB_DE_LUMINOSITY] = v._valLum;
    r[TMLIB_DE_STRENGTH] = float(v._valForce);
    r[TMLIB_DE_COLOR_SATURATION] = float(v._valSat);
    r[TMLIB_DE_WHITE_CLIP] = v._valWP;
    r[TMLIB_DE_BLACK_CLIP] = v._valBP;
    r[TMLIB_DE_SMOOTHING_LEVEL] = float(2 - v._valSmooth);
    r[TMLIB_DE_MICROCONTRAST] = v._valMC;
    r[TMLIB_DE_MICROSMOOTHING] = v._valNS;
    r[TMLIB_DE_GAMMA] = v._valGamma;
    r[TMLIB_DE_HIGHLIGHTS_SMOOTHING] = float(v._valHL);
    r[TMLIB_DE_SHADOWS_SMOOTHING] = float(v._valShS);
    r[TMLIB_DE_SHADOWS_CLIPPING] = float(v._valShC);
    r[TMLIB_DE_COLOR_TEMPERATURE] = v._valColorTemp;
    r[TMLIB_DE_SATURATION_HIGHLIGHTS] = v._valSatHL;
    r[TMLIB_DE_SATURATION_SHADOWS] = v._valSatSH;
    r[TMLIB_DE_PANORAMA_360] = v.pano ? 1.0f : 0.0f;
    r[TMLIB_DE_SMOOTHING_MODE] = v.lightMode ? 0.0f : 1.0f;
    r[TMLIB_DE_SMOOTHING] = v._valSmoothCont;
  } else if (method == TMLIB_METHOD_COMPRESSOR) {
    r[TMLIB_TC_BRIGHTNESS] = v._valBrightness;
    r[TMLIB_TC_COMPRESSION] = v._valCompression;
    r[TMLIB_TC_CONTRAST] = v._valContrast;
    r[TMLIB_TC_WHITE_CLIP] = v._valWP2;
    r[TMLIB_TC_BLACK_CLIP] = v._valBP2;
    r[TMLIB_TC_COLOR_TEMPERATURE] = v._valColorTemp2;
    r[TMLIB_TC_SATURATION] = v._valSat2;
  }
  return r;
}

void values_from_defaults(ControlValues &v, const TmParam &d) {
  v._valLum = d[TMLIB_DE_LUMINOSITY];
  v._valForce = int(d[TMLIB_DE_STRENGTH]);
  v._valSat = int(d[TMLIB_DE_COLOR_SATURATION]);
  v._valWP = d[TMLIB_DE_WHITE_CLIP];
  v._valBP = d[TMLIB_DE_BLACK_CLIP];
  v._valSmooth = 2 - int(d[TMLIB_DE_SMOOTHING_LEVEL]);
  v._valMC = d[TMLIB_DE_MICROCONTRAST];
  v._valNS = d[TMLIB_DE_MICROSMOOTHING];
  v._valGamma = d[TMLIB_DE_GAMMA];
  v._valHL = int(d[TMLIB_DE_HIGHLIGHTS_SMOOTHING]);
  v._valShS = int(d[TMLIB_DE_SHADOWS_SMOOTHING]);
  v._valShC = int(d[TMLIB_DE_SHADOWS_CLIPPING]);
  v._valColorTemp = d[TMLIB_DE_COLOR_TEMPERATURE];
  v._valSatHL = d[TMLIB_DE_SATURATION_HIGHLIGHTS];
  v._valSatSH = d[TMLIB_DE_SATURATION_SHADOWS];
  v._valSmoothCont = d[TMLIB_DE_SMOOTHING];
  v._valBrightness = d[TMLIB_TC_BRIGHTNESS];
  v._valCompression = d[TMLIB_TC_COMPRESSION];
  v._valContrast = d[TMLIB_TC_CONTRAST];
  v._valWP2 = d[TMLIB_TC_WHITE_CLIP];
  v._valBP2 = d[TMLIB_TC_BLACK_CLIP];
  v._valColorTemp2 = d[TMLIB_TC_COLOR_TEMPERATURE];
  v._valSat2 = d[TMLIB_TC_SATURATION];
  // Smoothing mode: anything but 1 means the five levels.
  v.lightMode = int(d[TMLIB_DE_SMOOTHING_MODE]) != 1;
}

bool host_record_is_plausible(const float *record) {
  int outOfRange = 0, zeros = 0;
  for (int i = 0; i < TMLIB_TMPARAM_SLOTS; ++i) {
    const float x = record[i];
    if (!(x >= -10.0f && x <= 150.0f)) ++outOfRange;
    if (x == 0.0f) ++zeros;
  }
  return outOfRange == 0 && zeros < TMLIB_TMPARAM_SLOTS;
}

SettingsStore SettingsStore::build(std::string_view source, int docType, const float *hostRecord,
                                   const ControlValues &values) {
  SettingsStore s;
  auto defaults = [docType](int method) {
    TmParam r{};
    tmparam_default(method, docType, r.data());
    return r;
  };
  if (source == "Default") {
    s.details_ = defaults(TMLIB_METHOD_DETAILS);
    s.compressor_ = defaults(TMLIB_METHOD_COMPRESSOR);
  } else if (source == "Current") {
    s.details_ = current_record(TMLIB_METHOD_DETAILS, values);
    s.compressor_ = current_record(TMLIB_METHOD_COMPRESSOR, values);
  } else if (source == "Sticky" && hostRecord != nullptr) {
    TmParam r{};
    for (int i = 0; i < TMLIB_TMPARAM_SLOTS; ++i) r[size_t(i)] = hostRecord[i];
    s.details_ = r;
    s.compressor_ = defaults(TMLIB_METHOD_COMPRESSOR);
  }
  return s;
}

const TmParam *SettingsStore::record(int method) const {
  if (method == TMLIB_METHOD_DETAILS && details_) return &*details_;
  if (method == TMLIB_METHOD_COMPRESSOR && compressor_) return &*compressor_;
  return nullptr;
}

SettingsStore SettingsStore::withRecord(int method, const TmParam &record) const {
  SettingsStore s = *this;
  if (method == TMLIB_METHOD_DETAILS) s.details_ = record;
  if (method == TMLIB_METHOD_COMPRESSOR) s.compressor_ = record;
  return s;
}

Snapshot take_snapshot(int method, const ControlValues &v) {
  Snapshot s;
  s.method = method;
  const TmParam r = current_record(method, v);
  const size_t at = method == TMLIB_METHOD_COMPRESSOR ? 20 : 0;
  for (size_t i = 0; i < r.size(); ++i) s.param[at + i] = r[i];
  return s;
}

}  // namespace brightloom::dialog
