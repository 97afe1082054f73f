// SPDX-License-Identifier: MIT
#include "dialog_bundle.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "settings.h"

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

}  // namespace brightloom
