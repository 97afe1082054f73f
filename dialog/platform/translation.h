// SPDX-License-Identifier: MIT
// The dialog's string tables: the texts are looked up by their English text, so English needs
// no table; other languages come from the tables compiled into the library.
#pragma once

#include <QLocale>
#include <QString>

#include <memory>

#include "export.h"

class QTranslator;

namespace brightloom::dialog {

// Where the compiled tables sit among the library's resources: brightloom_<language>.qm.
inline constexpr const char *kStringTableFolder = ":/brightloom/i18n";

// The table for the first of the locale's languages that the dialog can show: none when that
// language is English (the keys are the text) or when no table exists for any of them.
BRIGHTLOOM_DIALOG_EXPORT std::unique_ptr<QTranslator> load_string_table(const QLocale &locale);

// Installs the table for the user's locale (QLocale(): the system's, or the one the host made
// the default) in the running application for as long as it lives, and removes it again, so a
// host's own application is left as it was found. With it goes Qt's own table for that language
// where the system has one (qtbase_<language>.qm), so the file panels and message boxes speak
// the dialog's language too.
class BRIGHTLOOM_DIALOG_EXPORT DialogTranslation {
 public:
  DialogTranslation();
  ~DialogTranslation();
  DialogTranslation(const DialogTranslation &) = delete;
  DialogTranslation &operator=(const DialogTranslation &) = delete;

  // The language of the installed table ("de"), or empty when the dialog shows its keys.
  QString language() const;

 private:
  std::unique_ptr<QTranslator> translator_;
  std::unique_ptr<QTranslator> qtTranslator_;
};

}  // namespace brightloom::dialog
