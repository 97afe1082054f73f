// SPDX-License-Identifier: MIT
#include "dialog_bundle.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include "settings.h"

namespace brightloom {
namespace fs = std::filesystem;

namespace {
constexpr const char *kBundleName = "libBrightloomFilter.so";
}

std::vector<std::string> bundle_candidates() {
  std::vector<std::string> out;
  const char *chosen = std::getenv("BRIGHTLOOM_DIALOG");
  if (chosen != nullptr && *chosen != '\0') {
    // The user's choice is the only place looked at: another bundle found silently instead
    // would hide the mistake.
    out.emplace_back(chosen);
    return out;
  }
  const std::string exe = program_folder();
  if (!exe.empty()) {
#ifdef BRIGHTLOOM_INSTALL_LIBDIR
    out.push_back((fs::path(exe) / ".." / BRIGHTLOOM_INSTALL_LIBDIR / kBundleName).lexically_normal().string());
#endif
    out.push_back((fs::path(exe) / "../lib" / kBundleName).lexically_normal().string());
    out.push_back((fs::path(exe) / "../dialog" / kBundleName).lexically_normal().string());
  }
  return out;
}

Result<DialogBundle> load_dialog_bundle() { return load_dialog_bundle(bundle_candidates(), "BRIGHTLOOM_DIALOG"); }

Result<DialogBundle> load_dialog_bundle(const std::vector<std::string> &candidates, const char *env_name) {
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
  const char *chosen = std::getenv(env_name);
  if (chosen != nullptr && *chosen != '\0')
    return fail(
        "", std::string("cannot find the dialog bundle: ") + env_name + " names " + chosen + ", which is not a file");
  return fail("", std::string("cannot find the dialog bundle ") + kBundleName + " (looked for " + looked + "; " +
                      env_name + " names another)");
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

}  // namespace brightloom
