// SPDX-License-Identifier: MIT
#include "dialog_call.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "folders.h"

namespace brightloom {
namespace fs = std::filesystem;

namespace {
constexpr const char *kBundleName = "libBrightloomFilter.so";
}

std::vector<std::string> bundle_candidates() {
  std::vector<std::string> out;
  const char *chosen = std::getenv(kDialogEnv);
  if (chosen != nullptr && *chosen != '\0') {
    out.emplace_back(chosen);
    return out;
  }
  const std::string exe = program_folder();
  if (exe.empty()) return out;
  const auto at = [&](const char *relative) {
    const std::string p = (fs::path(exe) / relative / kBundleName).lexically_normal().string();
    if (std::find(out.begin(), out.end(), p) == out.end()) out.push_back(p);
  };
#ifdef BRIGHTLOOM_INSTALL_LIBDIR
  at("../" BRIGHTLOOM_INSTALL_LIBDIR);
#endif
  at("../lib");
  at("lib");
  at("../dialog");
  at("../../../dialog");
  return out;
}

Result<DialogBundle> load_dialog_bundle() {
  const std::vector<std::string> candidates = bundle_candidates();
  std::string looked;
  for (const std::string &path : candidates) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
      if (looked.find(path) == std::string::npos) looked += (looked.empty() ? "" : ", ") + path;
      continue;
    }
    // RTLD_LOCAL: the bundle's symbols stay its own; RTLD_NOW: a missing dependency (Qt) is
    // reported here, not as a crash in the middle of the dialog.
    void *handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char *why = ::dlerror();
      return fail(path, std::string("the dialog bundle cannot be loaded: ") + (why ? why : "unknown reason"));
    }
    void *entry = ::dlsym(handle, "DoCocoaUI");
    if (entry == nullptr) {
      ::dlclose(handle);
      return fail(path, "the library is not a Brightloom dialog bundle: it has no DoCocoaUI");
    }
    DialogBundle b;
    b.path = path;
    b.doCocoaUI = reinterpret_cast<DoCocoaUIFn>(entry);
    return b;
  }
  const char *chosen = std::getenv(kDialogEnv);
  if (chosen != nullptr && *chosen != '\0')
    return fail("", std::string("cannot find the dialog bundle: ") + kDialogEnv + " names " + chosen +
                        ", which is not a file");
  return fail("", std::string("cannot find the dialog bundle ") + kBundleName + " (looked for " + looked + "; " +
                      kDialogEnv + " names another)");
}

std::string missing_display() {
  auto set = [](const char *name) {
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0';
  };
  const char *platform = std::getenv("QT_QPA_PLATFORM");
  const bool x11 = platform == nullptr || *platform == '\0' || std::string(platform) == "xcb";
  // Another explicit platform (offscreen, wayland, vnc, ...) is the user's call; Qt reports its
  // own failure to open it.
  if (!x11) return {};
  if (!set("DISPLAY")) {
    if (set("WAYLAND_DISPLAY") && (platform == nullptr || *platform == '\0')) return {};
    return "no display to show the dialog on (neither DISPLAY nor WAYLAND_DISPLAY is set)";
  }
  // A DISPLAY left behind by a session that is gone would make Qt abort; the X connection is
  // tried first, through libxcb as Qt itself would (not linked: when it is missing, Qt's own
  // report stands).
  void *xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) return {};
  using Connect = void *(*)(const char *, int *);
  using HasError = int (*)(void *);
  using Disconnect = void (*)(void *);
  auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
  auto has_error = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
  std::string why;
  if (connect && has_error && disconnect) {
    void *c = connect(nullptr, nullptr);
    if (c == nullptr || has_error(c) != 0)
      why = std::string("cannot connect to the display ") + std::getenv("DISPLAY") + " (DISPLAY)";
    if (c != nullptr) disconnect(c);
  }
  ::dlclose(xcb);
  return why;
}

void DialogAnswer::keep_view(UserSettings &kept) const {
  kept.stickySizeType = settings.stickySizeType;
  kept.winX = settings.winX;
  kept.winY = settings.winY;
  kept.winWidth = settings.winWidth;
  kept.winHeight = settings.winHeight;
}

DialogAnswer call_dialog(const DialogBundle &bundle, const DialogDocument &doc, const UserSettings &settings,
                         const TmParam &param) {
  HostImageInfo info{};
  info.iMax = doc.width;
  info.jMax = doc.height;
  info.spp = doc.spp;
  info.docType = doc.doc_type;
  info.lenProfile = int32_t(doc.icc.size());
  DialogAnswer a;
  a.settings = settings;
  a.param = param;
  const int r = bundle.doCocoaUI(&info, a.param.data(), &a.settings, doc.icc.empty() ? nullptr : doc.icc.data(),
                                 doc.pixels);
  if (r == 0) {
    a.kind = DialogAnswer::Kind::Cancelled;
    return a;
  }
  const bool finite = std::all_of(a.param.begin(), a.param.end(), [](float v) { return std::isfinite(v); });
  const bool known = a.settings.method == 1 || a.settings.method == 2;
  if (r == 1 && known && finite) {
    a.kind = DialogAnswer::Kind::Confirmed;
    return a;
  }
  a.kind = DialogAnswer::Kind::Unusable;
  a.problem = bundle.path + ": the dialog returned " +
              (r != 1 ? "an unknown result " + std::to_string(r)
               : !known ? "settings it cannot have written (method " + std::to_string(a.settings.method) + ")"
                        : std::string("settings it cannot have written (a value that is not a finite number)"));
  return a;
}

}  // namespace brightloom
