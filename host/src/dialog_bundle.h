// SPDX-License-Identifier: MIT
// Finding and loading the dialog bundle (libBrightloomFilter.so) the way a host does: dlopen by
// path, DoCocoaUI by name. Any program that shows the dialog (brightloom edit, development
// tools) loads it through here.
#pragma once

#include <string>
#include <vector>

#include "brightloom/plugin.h"
#include "result.h"

namespace brightloom {

using DoCocoaUIFn = int (*)(HostImageInfo *, float *, UserSettings *, const unsigned char *, const void *);

// The places the bundle is looked for, best first: $BRIGHTLOOM_DIALOG when set (a path to the
// library), the installed library beside the program (bin/../lib), then the build tree's
// (build/<preset>/host/brightloom next to build/<preset>/dialog/).
std::vector<std::string> bundle_candidates();

// A loaded bundle; it stays loaded for the life of the process, as a host keeps a filter
// loaded (the dialog's Qt application outlives one call).
struct DialogBundle {
  std::string path;
  DoCocoaUIFn doCocoaUI = nullptr;
};

// Loads the first candidate that exists. The failure names what is missing: no bundle in any
// of the places (listed), a library that cannot be loaded (the loader's reason), or one without
// DoCocoaUI.
Result<DialogBundle> load_dialog_bundle();
// The same from a host's own list of places (the GIMP plug-in looks beside itself); env_name is
// the variable that, when set, named the first place.
Result<DialogBundle> load_dialog_bundle(const std::vector<std::string> &candidates, const char *env_name);

// Whether a window can be shown: a Qt platform other than X11 chosen explicitly, a Wayland
// display that accepts a connection with Qt's Wayland plugin installed, or an X11 display that
// accepts a connection. Empty when one can; otherwise what is
// missing, for the user.
std::string missing_display();

}  // namespace brightloom
