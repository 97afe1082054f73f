// SPDX-License-Identifier: MIT
#include "platform/resources.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <dlfcn.h>

namespace brightloom::dialog {

QString resource_folder() {
  Dl_info info{};
  // Any function of this library tells where the library was loaded from.
  if (dladdr(reinterpret_cast<void *>(&resource_folder), &info) == 0 || info.dli_fname == nullptr) return QString();
  const QFileInfo library(QString::fromLocal8Bit(info.dli_fname));
  const QString beside = QDir::cleanPath(library.absolutePath() + QStringLiteral("/../share/brightloom"));
#ifdef BRIGHTLOOM_SHARE_FROM_LIBDIR
  // Installed in a deeper library folder (lib/<multiarch> on Debian), the installed share folder
  // is further up; lib/../share stays first, for the build tree and a lib/ install.
  if (!QFileInfo(beside).isDir()) {
    const QString installed =
        QDir::cleanPath(library.absolutePath() + QStringLiteral("/" BRIGHTLOOM_SHARE_FROM_LIBDIR));
    if (QFileInfo(installed).isDir()) return installed;
  }
#endif
  return beside;
}

QString help_page() {
  const QString folder = resource_folder();
  if (folder.isEmpty()) return QString();
  const QString page = folder + QStringLiteral("/help/Help.html");
  return QFileInfo::exists(page) ? page : QString();
}

QString app_folder() {
  QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (base.isEmpty()) base = QDir::tempPath();
  return base + QStringLiteral("/Brightloom");
}

QString preset_folder() { return app_folder() + QStringLiteral("/Presets"); }

}  // namespace brightloom::dialog
