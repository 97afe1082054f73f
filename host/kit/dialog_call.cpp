// SPDX-License-Identifier: MIT
#include "dialog_call.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "folders.h"

namespace brightloom {
namespace fs = std::filesystem;

namespace {
constexpr const char *kBundleName = "libBrightloomFilter.so";

// Whether Qt can show a window on the Wayland display WAYLAND_DISPLAY names: the compositor's
// socket accepts a connection, and Qt's Wayland platform plugin is installed (without it Qt
// aborts the program). Empty when it can; otherwise what is missing.
std::string missing_wayland(const std::string &display) {
  std::string path = display;
  if (display.front() != '/') {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0')
      return "cannot find the Wayland display " + display + " (WAYLAND_DISPLAY): XDG_RUNTIME_DIR is not set";
    path = std::string(runtime) + "/" + display;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const int fd = path.size() < sizeof address.sun_path ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  if (fd < 0) return "cannot connect to the Wayland display " + display + " (WAYLAND_DISPLAY)";
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
  const int error = errno;
  ::close(fd);
  if (!connected)
    return "cannot connect to the Wayland display " + display + " (WAYLAND_DISPLAY, " + path +
           "): " + std::strerror(error);
  // Qt looks for its platform plugins in $QT_QPA_PLATFORM_PLUGIN_PATH, in platforms/ of each
  // folder of $QT_PLUGIN_PATH and of its own plugin folder (qt6/plugins beside the Qt library
  // on Debian, plugins/ above it in Qt's own installs).
  std::vector<fs::path> folders;
  auto add_list = [&folders](const char *list, const char *sub) {
    std::string rest = list != nullptr ? list : "";
    for (size_t start = 0; start <= rest.size();) {
      const size_t end = std::min(rest.find(':', start), rest.size());
      if (end > start) folders.push_back(fs::path(rest.substr(start, end - start)) / sub);
      start = end + 1;
    }
  };
  add_list(std::getenv("QT_QPA_PLATFORM_PLUGIN_PATH"), "");
  add_list(std::getenv("QT_PLUGIN_PATH"), "platforms");
  void *core = ::dlopen("libQt6Core.so.6", RTLD_LAZY | RTLD_LOCAL);
  if (core == nullptr) return {};  // no Qt at all: loading the bundle says so
  Dl_info info{};
  if (void *symbol = ::dlsym(core, "qVersion"); symbol != nullptr && ::dladdr(symbol, &info) != 0 && info.dli_fname) {
    const fs::path lib = fs::path(info.dli_fname).parent_path();
    folders.push_back(lib / "qt6/plugins/platforms");
    folders.push_back(lib.parent_path() / "plugins/platforms");
  }
  ::dlclose(core);
  for (const fs::path &folder : folders) {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(folder, ec))
      if (entry.path().filename().string().rfind("libqwayland", 0) == 0) return {};
  }
  return "Qt's Wayland platform plugin is not installed (Debian package qt6-wayland); install it, or set DISPLAY to "
         "show the dialog through X11";
}
}  // namespace

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
  at("../" BRIGHTLOOM_INSTALL_LIBDIR "/brightloom");
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
    b.doFileChooser = reinterpret_cast<DoFileChooserFn>(::dlsym(handle, "DoFileChooser"));
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
  // Wayland chosen explicitly is checked like one found through WAYLAND_DISPLAY (Qt's default
  // display is wayland-0). Another explicit platform (offscreen, vnc, ...) is the user's call;
  // Qt reports its own failure to open it.
  if (platform != nullptr && std::string(platform).rfind("wayland", 0) == 0)
    return missing_wayland(set("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "wayland-0");
  if (!x11) return {};
  if (!set("DISPLAY")) {
    if (set("WAYLAND_DISPLAY") && (platform == nullptr || *platform == '\0'))
      return missing_wayland(std::getenv("WAYLAND_DISPLAY"));
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
  // The Details Enhancer's record is never all zeros (its Strength is at least 1): zeros are the
  // record of a dialog that never set up its controls. The Tone Compressor's defaults are zeros.
  const bool blank = a.settings.method == 1 &&
                     std::all_of(a.param.begin(), a.param.end(), [](float v) { return v == 0.0f; });
  if (r == 1 && known && finite && !blank) {
    a.kind = DialogAnswer::Kind::Confirmed;
    return a;
  }
  a.kind = DialogAnswer::Kind::Unusable;
  a.problem = bundle.path + ": the dialog returned " +
              (r != 1 ? "an unknown result " + std::to_string(r)
               : !known ? "settings it cannot have written (method " + std::to_string(a.settings.method) + ")"
                   : !finite ? std::string("settings it cannot have written (a value that is not a finite number)")
                             : std::string("settings it cannot have written (a Details Enhancer record of zeros)"));
  return a;
}

}  // namespace brightloom
