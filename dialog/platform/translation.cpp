// SPDX-License-Identifier: MIT
#include "platform/translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace brightloom::dialog {

std::unique_ptr<QTranslator> load_string_table(const QLocale &locale) {
  // The user's languages in order of preference (LANGUAGE, then LC_ALL, LC_MESSAGES, LANG): the
  // first one that is English or has a table wins, so "en:de" shows English, not German.
  for (const QString &name : locale.uiLanguages()) {
    const QLocale language(name);
    if (language.language() == QLocale::English || language.language() == QLocale::C) return nullptr;
    auto table = std::make_unique<QTranslator>();
    if (table->load(language, QStringLiteral("brightloom"), QStringLiteral("_"),
                    QString::fromLatin1(kStringTableFolder)))
      return table;
  }
  return nullptr;
}

DialogTranslation::DialogTranslation() : translator_(load_string_table(QLocale())) {
  if (translator_ && !QCoreApplication::installTranslator(translator_.get())) translator_.reset();
  if (!translator_) return;
  qtTranslator_ = std::make_unique<QTranslator>();
  if (!qtTranslator_->load(QLocale(translator_->language()), QStringLiteral("qtbase"), QStringLiteral("_"),
                           QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(qtTranslator_.get()))
    qtTranslator_.reset();
}

DialogTranslation::~DialogTranslation() {
  if (qtTranslator_) QCoreApplication::removeTranslator(qtTranslator_.get());
  if (translator_) QCoreApplication::removeTranslator(translator_.get());
}

QString DialogTranslation::language() const { return translator_ ? translator_->language() : QString(); }

}  // namespace brightloom::dialog
