// SPDX-License-Identifier: MIT
#include "platform/application.h"

#include <QApplication>

#include <unistd.h>

namespace brightloom::dialog {

bool ensure_application() {
  if (QCoreApplication::instance() != nullptr) return qobject_cast<QApplication *>(QCoreApplication::instance());
  // QApplication keeps references to argc and argv: they must outlive it.
  static int argc = 1;
  static char name[] = "brightloom";
  static char *argv[] = {name, nullptr};
  // Deliberately never destroyed: a later call of the host reuses it, and tearing Qt down while
  // the host is exiting would run after Qt's own statics are gone.
  static QApplication *app = new QApplication(argc, argv);
  return app != nullptr;
}

int processor_count() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n == -1) return 1;
  if (n < 0) return 0;
  return n > 32 ? 32 : int(n);
}

}  // namespace brightloom::dialog
