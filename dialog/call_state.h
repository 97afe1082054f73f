// SPDX-License-Identifier: MIT
// What the host handed over in the current DoCocoaUI call. Only DoCocoaUI writes it; the
// controller reads it and writes the host's records through the two record pointers. It outlives
// one call because the host keeps the bundle loaded: a later call whose size type is out of
// range starts with the previous call's preview size.
#pragma once

#include "brightloom/plugin.h"
#include "export.h"

namespace brightloom::dialog {

struct CallState {
  int _iMax = 0;
  int _jMax = 0;
  int _spp = 3;
  int _docType = 0;
  int _lenProfile = 0;                            // 0: no profile
  const unsigned char *_ptrIccProfile = nullptr;  // null when _lenProfile is 0
  int _prefSizeType = 1;                          // 0..8
  const void *_ptrOriginalHDRsourceBuf = nullptr;
  UserSettings *_ptrUserSettings = nullptr;
  float *_ptrTmParam = nullptr;
};

// The process's call state (exported so that tests can look at it between calls).
BRIGHTLOOM_DIALOG_EXPORT CallState &call_state();

// Copies the host's values into the call state: the document, the profile when its length is
// positive, the size type when it is 0..8 (taken as unsigned, so negative values are refused),
// and the pointers.
BRIGHTLOOM_DIALOG_EXPORT void take_call(CallState &state, const HostImageInfo &info, float *tmParam,
                                        UserSettings *settings, const unsigned char *iccProfile, const void *pixels);

}  // namespace brightloom::dialog
