// SPDX-License-Identifier: MIT
// Everything the dialog asks the user outside its own window (alerts, file panels) and hands to
// the desktop (the help page), behind one interface: the Qt implementation shows real panels;
// tests install their own and answer them.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include "export.h"

class QWidget;

namespace brightloom::dialog {

class BRIGHTLOOM_DIALOG_EXPORT UiServices {
 public:
  virtual ~UiServices() = default;
  // A modal alert with one button.
  virtual void alert(QWidget *parent, const QString &title, const QString &message, const QString &button) = 0;
  // A modal question with a default and another button; true when the default one was chosen.
  virtual bool confirm(QWidget *parent, const QString &title, const QString &message, const QString &defaultButton,
                       const QString &otherButton) = 0;
  // One existing file of the given extensions, or an empty string when the user cancels.
  virtual QString openFile(QWidget *parent, const QString &title, const QString &prompt, const QString &folder,
                           const QStringList &extensions) = 0;
  // A file name to save to, or an empty string when the user cancels.
  virtual QString saveFile(QWidget *parent, const QString &title, const QString &folder,
                           const QString &proposedName) = 0;
  // Opens a document with the desktop's default application; false when that failed.
  virtual bool openUrl(const QUrl &url) = 0;
};

// The services the dialog uses: the Qt ones unless a test installed its own.
BRIGHTLOOM_DIALOG_EXPORT UiServices &ui_services();
// Installs services (null: back to the Qt ones). The caller keeps ownership.
BRIGHTLOOM_DIALOG_EXPORT void set_ui_services(UiServices *services);

}  // namespace brightloom::dialog
