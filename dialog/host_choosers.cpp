// SPDX-License-Identifier: MIT
// DoFileChooser: Qt's open and save choosers for hosts without their own. They live in the bundle
// because the bundle owns the process's Qt application: a host that shows them here needs no Qt
// of its own, and the choosers and the dialog share one application, one style and one set of
// string tables.
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>

#include <cstdio>
#include <cstring>
#include <exception>

#include "brightloom/plugin.h"
#include "platform/application.h"

namespace brightloom::dialog {
namespace {

// The patterns of one name filter: "PNG picture (*.png *.PNG)" -> {"*.png", "*.PNG"}.
QStringList patterns_of(const QString &filter) {
  static const QRegularExpression inside(QStringLiteral("\\(([^)]*)\\)"));
  const QRegularExpressionMatch m = inside.match(filter);
  return (m.hasMatch() ? m.captured(1) : filter).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// The extension a name given without one gets: the selected filter's first pattern's.
QString suffix_of(const QString &filter) {
  for (const QString &p : patterns_of(filter))
    if (p.startsWith(QStringLiteral("*.")) && !p.mid(2).contains(QLatin1Char('*'))) return p.mid(2);
  return QString();
}

bool matches_any(const QString &name, const QStringList &filters) {
  for (const QString &f : filters)
    for (const QString &p : patterns_of(f))
      if (QDir::match(p, name)) return true;
  return false;
}

int choose(bool save, const QString &title, const QString &filters, const QString &start, QString &chosen) {
  const QStringList filterList = filters.split(QStringLiteral(";;"), Qt::SkipEmptyParts);
  QFileDialog panel(nullptr, title);
  panel.setNameFilters(filterList);
  const QFileInfo where(start.isEmpty() ? QDir::currentPath() : start);
  if (save) {
    panel.setAcceptMode(QFileDialog::AcceptSave);
    panel.setFileMode(QFileDialog::AnyFile);
    panel.setDirectory(where.absolutePath());
    panel.selectFile(where.fileName());
    // The filter that names the proposed extension is the selected one; choosing another filter
    // changes the extension a bare name gets.
    for (const QString &f : filterList)
      if (matches_any(where.fileName(), {f})) {
        panel.selectNameFilter(f);
        break;
      }
    panel.setDefaultSuffix(suffix_of(panel.selectedNameFilter()));
    QObject::connect(&panel, &QFileDialog::filterSelected,
                     [&panel](const QString &f) { panel.setDefaultSuffix(suffix_of(f)); });
  } else {
    panel.setAcceptMode(QFileDialog::AcceptOpen);
    panel.setFileMode(QFileDialog::ExistingFile);
    panel.setDirectory(where.isDir() ? where.absoluteFilePath() : where.absolutePath());
  }
  for (;;) {
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty()) return 0;
    chosen = QFileInfo(panel.selectedFiles().first()).absoluteFilePath();
    if (!save || filterList.isEmpty() || matches_any(QFileInfo(chosen).fileName(), filterList)) return 1;
    // A name the host cannot write: said here, where the user can choose again.
    QMessageBox::warning(
        nullptr, title,
        QObject::tr("%1 cannot be written: choose a name that ends in one of %2.")
            .arg(
                QFileInfo(chosen).fileName(),
                patterns_of(filterList.join(QLatin1Char(' '))).join(QStringLiteral(", ")).remove(QStringLiteral("*"))));
    panel.selectFile(QFileInfo(chosen).completeBaseName());
  }
}

}  // namespace
}  // namespace brightloom::dialog

extern "C" int DoFileChooser(int save, const char *title, const char *filters, const char *start, char *chosen,
                             int32_t chosenSize) {
  using namespace brightloom::dialog;
  if (title == nullptr || filters == nullptr || chosen == nullptr || chosenSize <= 0) return -1;
  if (!ensure_application()) {
    std::fprintf(stderr, "Brightloom: the host's Qt application has no widgets; no file chooser can be shown\n");
    return -1;
  }
  try {
    QString path;
    const int r = choose(save != 0, QString::fromUtf8(title), QString::fromUtf8(filters),
                         start != nullptr ? QString::fromUtf8(start) : QString(), path);
    if (r != 1) return r;
    const QByteArray bytes = path.toUtf8();
    if (bytes.size() >= chosenSize) {
      std::fprintf(stderr, "Brightloom: the chosen path is longer than the host accepts (%d bytes)\n",
                   int(chosenSize) - 1);
      return -1;
    }
    std::memcpy(chosen, bytes.constData(), size_t(bytes.size()) + 1);
    return 1;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "Brightloom: the file chooser failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Brightloom: the file chooser failed\n");
  }
  return -1;
}
