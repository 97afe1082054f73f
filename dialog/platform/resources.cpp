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
  return QDir::cleanPath(library.absolutePath() + QStringLiteral("/../share/brightloom"));
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
