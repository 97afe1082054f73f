// SPDX-License-Identifier: MIT
// The one way a host shows the tone-mapping dialog: the bundle (libBrightloomFilter.so) found by
// one rule and loaded as a host loads a filter (dlopen by path, DoCocoaUI by name), the document
// handed over as HostImageInfo, and what comes back checked before anything is rendered with it.
// `brightloom edit`, the GIMP plug-in and the development tools all call it through here.
#pragma once

#include <string>
#include <vector>

#include "brightloom/plugin.h"
#include "result.h"
#include "settings.h"

namespace brightloom {

using DoCocoaUIFn = int (*)(HostImageInfo *, float *, UserSettings *, const unsigned char *, const void *);
using DoFileChooserFn = int (*)(int, const char *, const char *, const char *, char *, int32_t);

// The variable that names the bundle to use instead of the installed one.
inline constexpr const char *kDialogEnv = "BRIGHTLOOM_DIALOG";

// The places the bundle is looked for, best first. $BRIGHTLOOM_DIALOG, when set, is the only
// one (another bundle found silently instead would hide the mistake). Otherwise, from the
// running program's folder: ../<libdir>/brightloom (where the Debian package keeps it, a
// plug-in rather than a library to link), ../<libdir> and ../lib (an installed program), lib
// (the GIMP plug-in's own folder), then the build tree's dialog/ folder (../dialog for the
// program, ../../../dialog for the plug-in).
std::vector<std::string> bundle_candidates();

// A loaded bundle; it stays loaded for the life of the process, as a host keeps a filter
// loaded (the dialog's Qt application outlives one call).
struct DialogBundle {
  std::string path;
  DoCocoaUIFn doCocoaUI = nullptr;
  // The bundle's open and save choosers for a host without its own (edit without a file); null
  // for a bundle that has none.
  DoFileChooserFn doFileChooser = nullptr;
};

// Loads the first candidate that exists. The failure names what is missing: no bundle in any
// of the places (listed), a library that cannot be loaded (the loader's reason), or one without
// DoCocoaUI.
Result<DialogBundle> load_dialog_bundle();

// Whether a window can be shown: a Qt platform other than X11 chosen explicitly, a Wayland
// display that accepts a connection with Qt's Wayland plugin installed, or an X11 display that
// accepts a connection. Empty when one can; otherwise what is
// missing, for the user.
std::string missing_display();

// The document the dialog previews: samples as HostImageInfo describes them (docType 0 float,
// 1 16-bit, 2 8-bit), interleaved, and the document's ICC profile (empty for none).
struct DialogDocument {
  int width = 0, height = 0, spp = 3, doc_type = 0;
  std::vector<unsigned char> icc;
  const void *pixels = nullptr;
};

struct DialogAnswer {
  enum class Kind { Confirmed, Cancelled, Unusable } kind = Kind::Cancelled;
  // What the dialog handed back. Its preview size and window frame are the user's whatever the
  // answer (keep_view); the method and the record only when confirmed.
  UserSettings settings{};
  TmParam param{};
  std::string problem;  // Unusable: what the dialog returned that no dialog writes, for the user

  bool confirmed() const { return kind == Kind::Confirmed; }
  int method() const { return settings.method; }
  // Copies the preview size and the window frame into a host's kept settings.
  void keep_view(UserSettings &kept) const;
};

// Shows the dialog on the document, starting from `settings` (method, preview size, window) and
// `param`. A record comes back confirmed only as a dialog writes it: method 1 or 2, finite
// numbers in every slot, and for the Details Enhancer not all zeros; anything else is Unusable,
// never rendered.
DialogAnswer call_dialog(const DialogBundle &bundle, const DialogDocument &doc, const UserSettings &settings,
                         const TmParam &param);

}  // namespace brightloom
