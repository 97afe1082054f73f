// SPDX-License-Identifier: MIT
#include "platform/services.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace brightloom::dialog {
namespace {

// The messages end in two line breaks, as the alerts' texts are written; a message box shows
// them as a blank line, so they are trimmed here.
QString shown(const QString &message) { return message.trimmed(); }

class QtUiServices final : public UiServices {
 public:
  void alert(QWidget *parent, const QString &title, const QString &message, const QString &button) override {
    QMessageBox box(QMessageBox::Warning, title, shown(message), QMessageBox::NoButton, parent);
    box.addButton(button, QMessageBox::AcceptRole);
    box.exec();
  }
  bool confirm(QWidget *parent, const QString &title, const QString &message, const QString &defaultButton,
               const QString &otherButton) override {
    QMessageBox box(QMessageBox::Question, title, shown(message), QMessageBox::NoButton, parent);
    QPushButton *yes = box.addButton(defaultButton, QMessageBox::AcceptRole);
    box.addButton(otherButton, QMessageBox::RejectRole);
    box.setDefaultButton(yes);
    box.exec();
    return box.clickedButton() == yes;
  }
  QString openFile(QWidget *parent, const QString &title, const QString &prompt, const QString &folder,
                   const QStringList &extensions) override {
    QFileDialog panel(parent, title, folder);
    panel.setFileMode(QFileDialog::ExistingFile);
    panel.setAcceptMode(QFileDialog::AcceptOpen);
    panel.setLabelText(QFileDialog::Accept, prompt);
    QStringList patterns;
    for (const QString &e : extensions) patterns << QStringLiteral("*.") + e;
    panel.setNameFilter(patterns.join(QLatin1Char(' ')));
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty()) return QString();
    return panel.selectedFiles().first();
  }
  QString saveFile(QWidget *parent, const QString &title, const QString &folder, const QString &proposedName) override {
    QFileDialog panel(parent, title, folder);
    panel.setAcceptMode(QFileDialog::AcceptSave);
    panel.selectFile(proposedName);
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty()) return QString();
    return panel.selectedFiles().first();
  }
  bool openUrl(const QUrl &url) override { return QDesktopServices::openUrl(url); }
};

UiServices *installed = nullptr;

}  // namespace

UiServices &ui_services() {
  static QtUiServices qt;
  return installed != nullptr ? *installed : qt;
}

void set_ui_services(UiServices *services) { installed = services; }

}  // namespace brightloom::dialog
