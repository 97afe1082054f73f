// SPDX-License-Identifier: MIT
// The parameters of both methods as the dialog keeps them: the controls' values, the settings
// store built from a named source, and the snapshot handed back to the host on OK. Plain data,
// no widgets.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "brightloom/tm_param.h"
#include "export.h"

namespace brightloom::dialog {

using brightloom::TmParam;

// The controls' values, one variable per parameter, with the two check boxes' states.
struct ControlValues {
  // "Details Enhancer"
  float _valLum = 0;
  int _valForce = 0;
  int _valSat = 0;
  float _valWP = 0;
  float _valBP = 0;
  int _valSmooth = 0;  // 2 (strongest) .. -2; the record's level code is 2 - _valSmooth
  float _valMC = 0;
  float _valNS = 0;
  float _valGamma = 0;  // slider position; gamma = 2^((50 - v) / 50)
  int _valHL = 0;
  int _valShS = 0;
  int _valShC = 0;
  float _valColorTemp = 0;
  float _valSatHL = 0;
  float _valSatSH = 0;
  float _valSmoothCont = 0;
  bool pano = false;      // chkPano: 360-degree image
  bool lightMode = true;  // chkCont: the five smoothing levels (off: the smoothing slider)
  // "Tone Compressor"
  float _valBrightness = 0;
  float _valCompression = 0;
  float _valContrast = 0;
  float _valWP2 = 0;
  float _valBP2 = 0;
  float _valColorTemp2 = 0;
  float _valSat2 = 0;
};

// The record of `method` (1 or 2) built from the controls' values; zeros for another method.
BRIGHTLOOM_DIALOG_EXPORT TmParam current_record(int method, const ControlValues &v);

// The values of a default record as the dialog's set-up reads them: method 1's variables from
// their slots (integers truncated), method 2's from slots 0..4, 12, 13 of the same record.
BRIGHTLOOM_DIALOG_EXPORT void values_from_defaults(ControlValues &v, const TmParam &record);

// Whether the host's record may be taken over as "Details Enhancer" settings: no slot below -10
// or above 150 (a NaN counts as out of range) and not all 20 slots 0.
BRIGHTLOOM_DIALOG_EXPORT bool host_record_is_plausible(const float *record);

// The settings store: the record of each method, built as a whole from a named source.
class BRIGHTLOOM_DIALOG_EXPORT SettingsStore {
 public:
  // "Default": both methods' defaults for docType. "Current": both records from the controls.
  // "Sticky": the host's record for method 1, method 2's default. Any other source: empty.
  static SettingsStore build(std::string_view source, int docType, const float *hostRecord,
                             const ControlValues &values);
  const TmParam *record(int method) const;
  // A copy of this store with `method`'s record replaced (1 or 2; another method changes nothing).
  SettingsStore withRecord(int method, const TmParam &record) const;

 private:
  std::optional<TmParam> details_, compressor_;
};

// The undo snapshot: method 1's record in floats 0..19, method 2's in 20..39; only the method
// current when it was taken is filled, the other half is 0.
struct Snapshot {
  int method = 1;
  std::array<float, 40> param{};
  // The 20 floats of the method that was current.
  const float *current() const { return param.data() + (method == 2 ? 20 : 0); }
};
BRIGHTLOOM_DIALOG_EXPORT Snapshot take_snapshot(int method, const ControlValues &v);

}  // namespace brightloom::dialog
