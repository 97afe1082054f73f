// SPDX-License-Identifier: MIT
// The preset popup as a user works it: defaults, the host's previous settings, built-ins, the
// user's presets, and loading, saving and deleting settings files through answered panels.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>

#include <tmlib/tmlib.h>

#include "../../resources/presets/builtin_presets.h"
#include "platform/resources.h"
#include "support/dialog_host.h"

namespace {

using namespace brightloom::dialog;
using dialog_test::Records;

// A private data and config home for each test: its preset folder and user defaults.
struct Home {
  QTemporaryDir dir;
  QString presets;
  Home() {
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    presets = dir.filePath(QStringLiteral("data/Brightloom/Presets"));
  }
  QString write(const QString &name, int method, const float *param) const {
    QDir().mkpath(presets);
    const QString path = presets + QLatin1Char('/') + name;
    EXPECT_GT(write_xmp(QFile::encodeName(path).constData(), method, param), 0);
    return path;
  }
};

std::array<float, 20> defaults(int method) {
  std::array<float, 20> p{};
  tmparam_default(method, 0, p.data());
  return p;
}

Records run(const dialog_test::Drive &drive, Records r = {}) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, drive);
  return r;
}

void select_method(QDialog &d, int method) {
  d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(method - 1);
}

TEST(Presets, BuiltInsAndUserPresetsReplaceOnlyTheCurrentMethodsRecord) {
  Home home;
  auto tc = defaults(2);
  tc[TMLIB_TC_COLOR_TEMPERATURE] = 3.0f;
  tc[TMLIB_TC_BRIGHTNESS] = -2.0f;
  home.write(QStringLiteral("Warm.xmp"), 2, tc.data());
  run([&](QDialog &d, ToneMappingPluginController &c) {
    dialog_test::move_slider(d, "sldColorTemp", -40);
    dialog_test::settle();
    EXPECT_EQ(dialog_test::preset_menu(d).front(), QStringLiteral("Custom"));
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Grunge")));
    const TmParam grunge = *c.tmSettingsDico()->record(1);
    EXPECT_NE(grunge[TMLIB_DE_STRENGTH], 70.0f);
    EXPECT_EQ(c.values()._valForce, int(grunge[TMLIB_DE_STRENGTH]));
    EXPECT_EQ(d.findChild<QComboBox *>(QStringLiteral("cmbPreset"))->currentText(), QStringLiteral("Grunge"));

    select_method(d, 2);
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Warm")));
    EXPECT_EQ(c.values()._valColorTemp2, 3.0f);
    EXPECT_EQ(c.values()._valBrightness, -2.0f);
    EXPECT_EQ(*c.tmSettingsDico()->record(1), grunge) << "the other method's record is left alone";
    EXPECT_EQ(c.values()._valColorTemp, grunge[TMLIB_DE_COLOR_TEMPERATURE]);

    // "Default" resets both methods.
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Default")));
    EXPECT_EQ(*c.tmSettingsDico()->record(1), defaults(1));
    EXPECT_EQ(*c.tmSettingsDico()->record(2), defaults(2));
    EXPECT_EQ(c.values()._valForce, 70);
  });
}

TEST(Presets, PreviousTakesTheHostsRecordWhenTheUserDefaultsOfferIt) {
  Home home;
  {
    QSettings s(QString::fromLatin1(kOrganisation), QString::fromLatin1(kApplication));
    s.setValue(QStringLiteral("LastSettingsV32Method1"), 1);
  }
  Records host;
  host.tm = defaults(1);
  host.tm[TMLIB_DE_STRENGTH] = 33.0f;
  host.settings.method = 2;  // not taken over at start: both methods begin at their defaults
  std::vector<QString> menu;
  run(
      [&](QDialog &d, ToneMappingPluginController &c) {
        menu = dialog_test::preset_menu(d);
        EXPECT_EQ(c.values()._valForce, 70);
        dialog_test::move_slider(d, "sldBrightness", 20);
        select_method(d, 2);
        dialog_test::move_slider(d, "sldBrightness", 20);
        dialog_test::settle();
        select_method(d, 1);
        ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Previous")));
        EXPECT_EQ(c.values()._valForce, 33);
        EXPECT_EQ(c.values()._valBrightness, 0.0f) << "the Tone Compressor goes back to its defaults";
      },
      host);
  ASSERT_GE(menu.size(), 2u);
  EXPECT_EQ(menu[1], QStringLiteral("Previous"));
}

// The popup reads the file it lists, whatever the case of its extension, and a command that
// changes nothing (its panel cancelled) on a fresh menu leaves the item that was shown.
TEST(Presets, TheListedFileIsReadAndACancelledCommandKeepsTheItemShown) {
  Home home;
  dialog_test::RecordingServices panels;  // every panel cancelled
  auto loud = defaults(1);
  loud[TMLIB_DE_STRENGTH] = 33.0f;
  home.write(QStringLiteral("Loud.XMP"), 1, loud.data());
  run([&](QDialog &d, ToneMappingPluginController &c) {
    auto *popup = d.findChild<QComboBox *>(QStringLiteral("cmbPreset"));
    for (const char *command : {"Load Settings...", "Save Settings...", "Delete Settings..."}) {
      ASSERT_TRUE(dialog_test::choose_preset(d, QString::fromLatin1(command)));
      EXPECT_EQ(popup->currentText(), QStringLiteral("Default")) << command;
    }
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Loud")));
    EXPECT_EQ(c.values()._valForce, 33);
    EXPECT_EQ(popup->currentText(), QStringLiteral("Loud"));
  });
  EXPECT_TRUE(panels.messages.empty());
}

// A settings file written by hand: values beyond the controls' ranges are held to them, so
// that OK hands back a record the dialog could have made; a value that is no number refuses
// the file with an alert and changes nothing.
TEST(Presets, ValuesFromAFileAreHeldToTheControlsRanges) {
  Home home;
  dialog_test::RecordingServices panels;
  QDir().mkpath(home.presets);
  auto write_text = [&](const QString &name, const QByteArray &tags) {
    QFile f(home.presets + QLatin1Char('/') + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
        "<rdf:Description rdf:about='' xmlns:bltm='http://brightloom.org/tone_mapping_settings'>\n"
        "<bltm:Version>3.2</bltm:Version>\n<bltm:Method>Details Enhancer</bltm:Method>\n" +
        tags + "</rdf:Description>\n</rdf:RDF>\n</x:xmpmeta>\n");
  };
  write_text(QStringLiteral("Wild.xmp"),
             "<bltm:Strength>1e30</bltm:Strength>\n<bltm:Gamma>1e-7</bltm:Gamma>\n"
             "<bltm:Microsmoothing>-5</bltm:Microsmoothing>\n<bltm:SmoothingMode>Slider</bltm:SmoothingMode>\n"
             "<bltm:Smoothing>1e38</bltm:Smoothing>\n<bltm:Luminosity>-inf</bltm:Luminosity>\n"
             "<bltm:ShadowsClipping>-1e30</bltm:ShadowsClipping>\n");
  write_text(QStringLiteral("NoNumber.xmp"), "<bltm:Strength>nan</bltm:Strength>\n");
  const Records r = run([&](QDialog &d, ToneMappingPluginController &c) {
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Wild")));
    EXPECT_EQ(c.values()._valForce, 100);
    EXPECT_EQ(c.values()._valGamma, 150.0f);
    EXPECT_EQ(c.values()._valNS, 0.0f);
    EXPECT_EQ(c.values()._valSmoothCont, 10.0f);
    EXPECT_EQ(c.values()._valLum, -10.0f);
    EXPECT_EQ(c.values()._valShC, 0);
    EXPECT_EQ(d.findChild<QLineEdit *>(QStringLiteral("txtStrength"))->text(), QStringLiteral("100"));
    EXPECT_TRUE(panels.messages.empty()) << "the preview of the held values is made";
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("NoNumber")));
    ASSERT_EQ(panels.messages.size(), 1u);
    EXPECT_EQ(panels.messages[0], QStringLiteral("Error found when reading XMP file.\r\n\r\n"));
    EXPECT_EQ(c.values()._valForce, 100);
    dialog_test::click(d, "_doneButton");
  });
  EXPECT_EQ(r.tm[TMLIB_DE_STRENGTH], 100.0f);
  EXPECT_EQ(r.tm[TMLIB_DE_GAMMA], 150.0f);
  EXPECT_EQ(r.tm[TMLIB_DE_MICROSMOOTHING], 0.0f);
  EXPECT_EQ(r.tm[TMLIB_DE_SMOOTHING], 10.0f);
  EXPECT_EQ(r.tm[TMLIB_DE_LUMINOSITY], -10.0f);
  EXPECT_TRUE(host_record_is_plausible(r.tm.data()));
}

TEST(SettingsFiles, LoadSaveAndDeleteThroughThePanels) {
  Home home;
  dialog_test::RecordingServices panels;
  const QString elsewhere = home.dir.filePath(QStringLiteral("elsewhere"));
  QDir().mkpath(elsewhere);
  run([&](QDialog &d, ToneMappingPluginController &c) {
    // A Tone Compressor file loaded for the Details Enhancer is refused and changes nothing.
    const auto tc = defaults(2);
    panels.openAnswer = home.write(QStringLiteral("Flat.xmp"), 2, tc.data());
    const TmParam before = *c.tmSettingsDico()->record(1);
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Load Settings...")));
    ASSERT_EQ(panels.messages.size(), 1u);
    EXPECT_EQ(panels.messages[0], QStringLiteral("XMP file is not for settings of Details Enhancer.\r\n\r\n"));
    EXPECT_EQ(*c.tmSettingsDico()->record(1), before);

    // Saving: the extension becomes .xmp; a reserved name in the preset folder is refused, the
    // same name elsewhere is written.
    dialog_test::move_slider(d, "sldStrength", 550);
    dialog_test::settle();
    panels.saveAnswer = home.presets + QStringLiteral("/Default.txt");
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Save Settings...")));
    ASSERT_EQ(panels.messages.size(), 2u);
    EXPECT_EQ(panels.messages[1], QStringLiteral("File name Default is reserved. Please choose another one.\r\n\r\n"));
    EXPECT_FALSE(QFile::exists(home.presets + QStringLiteral("/Default.xmp")));
    panels.saveAnswer = elsewhere + QStringLiteral("/Default");
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Save Settings...")));
    EXPECT_TRUE(QFile::exists(elsewhere + QStringLiteral("/Default.xmp")));

    panels.saveAnswer = home.presets + QStringLiteral("/Mine.XMP");
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Save Settings...")));
    ASSERT_TRUE(QFile::exists(home.presets + QStringLiteral("/Mine.xmp")));
    EXPECT_EQ(panels.messages.size(), 2u);
    const std::vector<QString> menu = dialog_test::preset_menu(d);
    EXPECT_NE(std::find(menu.begin(), menu.end(), QStringLiteral("Mine")), menu.end());
    EXPECT_EQ(d.findChild<QComboBox *>(QStringLiteral("cmbPreset"))->currentText(), QStringLiteral("Mine"));
    // The next edit marks the settings as the user's own again.
    dialog_test::move_slider(d, "sldStrength", 600);
    dialog_test::settle();
    EXPECT_EQ(d.findChild<QComboBox *>(QStringLiteral("cmbPreset"))->currentText(), QStringLiteral("Custom"));

    // Loading the saved file brings its Strength back.
    panels.openAnswer = home.presets + QStringLiteral("/Mine.xmp");
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Load Settings...")));
    EXPECT_EQ(c.values()._valForce, 55);

    // A save that cannot be written is reported with the file and the reason.
    panels.saveAnswer = home.dir.filePath(QStringLiteral("missing/folder/Lost.xmp"));
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Save Settings...")));
    ASSERT_EQ(panels.messages.size(), 3u);
    EXPECT_TRUE(panels.messages[2].contains(QStringLiteral("Lost.xmp"))) << panels.messages[2].toStdString();

    // Deleting asks first and takes the preset out of the menu.
    panels.confirmAnswer = true;
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Delete Settings...")));
    ASSERT_EQ(panels.questions.size(), 1u);
    EXPECT_EQ(panels.questions[0], QStringLiteral("Are you sure you want to delete Mine.xmp? \r\n\r\n"));
    EXPECT_FALSE(QFile::exists(home.presets + QStringLiteral("/Mine.xmp")));
    const std::vector<QString> after = dialog_test::preset_menu(d);
    EXPECT_EQ(std::find(after.begin(), after.end(), QStringLiteral("Mine")), after.end());
  });
}

TEST(SettingsFiles, AFailedSaveNamesTheFileAndLeavesWhatWasThere) {
  Home home;
  dialog_test::RecordingServices panels;
  // The chosen name is taken by a folder: the settings cannot be renamed into place.
  const QString target = home.presets + QStringLiteral("/Keep.xmp");
  ASSERT_TRUE(QDir().mkpath(target + QStringLiteral("/inside")));
  panels.saveAnswer = target;
  run([&](QDialog &d, ToneMappingPluginController &) {
    dialog_test::move_slider(d, "sldStrength", 300);
    dialog_test::settle();
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Save Settings...")));
  });
  ASSERT_EQ(panels.messages.size(), 1u);
  EXPECT_TRUE(panels.messages[0].startsWith(QStringLiteral("Could not save the settings to ") + target + ": "))
      << panels.messages[0].toStdString();
  EXPECT_TRUE(QDir(target + QStringLiteral("/inside")).exists());
  // No temporary file is left behind.
  EXPECT_EQ(QDir(home.presets).entryList(QDir::Files | QDir::Hidden).size(), 0);
}

// A preset named as long as the system allows is saved like any other; a file where the presets
// folder belongs stops the save with its name instead of sending the settings elsewhere.
TEST(SettingsFiles, ALongNameIsSavedAndAPresetsFolderThatIsAFileIsNamed) {
  Home home;
  dialog_test::RecordingServices panels;
  const QString name(250, QLatin1Char('n'));
  const QString appFolder = QFileInfo(home.presets).path();
  run([&](QDialog &d, ToneMappingPluginController &) {
    panels.saveAnswer = home.presets + QLatin1Char('/') + name + QStringLiteral(".xmp");
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Save Settings...")));
    EXPECT_TRUE(panels.messages.empty()) << panels.messages[0].toStdString();
    EXPECT_TRUE(QFile::exists(panels.saveAnswer));
    EXPECT_EQ(d.findChild<QComboBox *>(QStringLiteral("cmbPreset"))->currentText(), name);

    ASSERT_TRUE(QDir(home.presets).removeRecursively());
    QFile blocker(home.presets);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    panels.saveAnswer = appFolder + QStringLiteral("/Mine.xmp");  // where a panel would have opened
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Save Settings...")));
    ASSERT_EQ(panels.messages.size(), 1u);
    EXPECT_EQ(panels.messages[0], QStringLiteral("Could not save the settings to ") + home.presets +
                                      QStringLiteral(": it is not a folder.\r\n\r\n"));
    EXPECT_FALSE(QFile::exists(panels.saveAnswer));
  });
}

// Saving over a settings file replaces it the system's one way: mode and links kept, a
// read-only file refused, and a name whose extension became .xmp asked about first.
TEST(SettingsFiles, SavingOverAFileKeepsItsModeAndLinksAndAsksFirst) {
  Home home;
  dialog_test::RecordingServices panels;
  const auto tc = defaults(1);
  const QString kept = home.write(QStringLiteral("Kept.xmp"), 1, tc.data());
  QFile::setPermissions(kept, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
  const QString real = home.write(QStringLiteral("Real.xmp"), 1, tc.data());
  const QString link = home.presets + QStringLiteral("/Link.xmp");
  ASSERT_TRUE(QFile::link(real, link));
  const QString locked = home.write(QStringLiteral("Locked.xmp"), 1, tc.data());
  QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
  const auto strength = [](const QString &path) {
    float p[20] = {};
    EXPECT_GT(parse_xmp(QFile::encodeName(path).constData(), 1, p), 0) << path.toStdString();
    return p[TMLIB_DE_STRENGTH];
  };
  run([&](QDialog &d, ToneMappingPluginController &) {
    dialog_test::move_slider(d, "sldStrength", 300);
    dialog_test::settle();
    for (const QString &name : {kept, link, locked}) {
      panels.saveAnswer = name;
      ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Save Settings...")));
    }
    // "Kept.txt" is saved as Kept.xmp, which the file panel never asked about.
    dialog_test::move_slider(d, "sldStrength", 400);
    dialog_test::settle();
    panels.saveAnswer = home.presets + QStringLiteral("/Kept.txt");
    panels.confirmAnswer = false;
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Save Settings...")));
  });
  EXPECT_EQ(strength(kept), 30.0f);
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(kept).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(QFileInfo(link).isSymLink());
  EXPECT_EQ(strength(real), 30.0f);
  EXPECT_EQ(strength(locked), tc[TMLIB_DE_STRENGTH]);
  ASSERT_EQ(panels.messages.size(), 1u);
  EXPECT_TRUE(panels.messages[0].contains(QStringLiteral("read-only"))) << panels.messages[0].toStdString();
  ASSERT_EQ(panels.questions.size(), 1u);
  EXPECT_TRUE(panels.questions[0].contains(QStringLiteral("Kept.xmp already exists")))
      << panels.questions[0].toStdString();
  EXPECT_EQ(strength(kept), 30.0f);
}

}  // namespace

namespace {

TEST(Presets, APresetIsUndoneOneParameterAtATimeInTheOrderApplied) {
  Home home;
  auto p = defaults(1);
  p[TMLIB_DE_STRENGTH] = 50.0f;
  p[TMLIB_DE_GAMMA] = 60.0f;
  home.write(QStringLiteral("Two.xmp"), 1, p.data());
  run([&](QDialog &d, ToneMappingPluginController &c) {
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Two")));
    // In the order the controls are set: Strength, the smoothing level (a file in slider mode
    // holds none, so it reads as level 0), Gamma (written as 0.9, read back as its position).
    UndoStacks s = c.undoStacks();
    std::vector<UndoEntry> entries;
    while (auto e = s.last(1, false)) {
      entries.insert(entries.begin(), *e);
      s.dropLast(1, false);
    }
    EXPECT_EQ(entries, (std::vector<UndoEntry>{{101, 70.0f}, {105, 1.0f}, {108, 50.0f}}));
    dialog_test::click(d, "btnUndo");
    dialog_test::click(d, "btnUndo");
    dialog_test::click(d, "btnUndo");
    EXPECT_EQ(c.values()._valForce, 70);
    EXPECT_EQ(c.values()._valGamma, 50.0f);
  });
}

}  // namespace

namespace {

// The user's locale for one dialog, as QLocale() reports it to the bundle.
struct UserLocale {
  explicit UserLocale(const QLocale &locale) { QLocale::setDefault(locale); }
  ~UserLocale() { QLocale::setDefault(QLocale::system()); }
};

std::vector<QString> smoothing_titles(QDialog &d) {
  std::vector<QString> titles;
  for (const char *name : {"btnSmoothingVH", "btnSmoothingH", "btnSmoothingM", "btnSmoothingL", "btnSmoothingVL"})
    titles.push_back(d.findChild<QPushButton *>(QString::fromLatin1(name))->text());
  return titles;
}

TEST(Translation, GermanTitlesDoWhatTheirItemsDoAndTheHostIsLeftAsFound) {
  Home home;
  dialog_test::RecordingServices panels;
  // "Standard" is the German title of "Default", and a file name a German user may well choose:
  // the file names are not translated, so it is the user's preset, not the command.
  auto mine = defaults(1);
  mine[TMLIB_DE_STRENGTH] = 33.0f;
  home.write(QStringLiteral("Standard.xmp"), 1, mine.data());
  panels.openAnswer = home.write(QStringLiteral("Flat.xmp"), 2, defaults(2).data());
  {
    const UserLocale german(QLocale(QLocale::German, QLocale::Germany));
    run([&](QDialog &d, ToneMappingPluginController &c) {
      auto *popup = d.findChild<QComboBox *>(QStringLiteral("cmbPreset"));
      EXPECT_EQ(
          dialog_test::preset_menu(d),
          (std::vector<QString>{QStringLiteral("Standard"), QStringLiteral("-"), QStringLiteral("Natürlich"),
                                QStringLiteral("Glatter Himmel"), QStringLiteral("Malerisch"), QStringLiteral("Grunge"),
                                QStringLiteral("-"), QStringLiteral("Standard"), QStringLiteral("-"),
                                QStringLiteral("Einstellungen laden..."), QStringLiteral("Einstellungen speichern..."),
                                QStringLiteral("-"), QStringLiteral("Einstellungen löschen...")}));
      EXPECT_EQ(smoothing_titles(d),
                (std::vector<QString>{QStringLiteral("Max"), QStringLiteral("Hoch"), QStringLiteral("Mittel"),
                                      QStringLiteral("Niedrig"), QStringLiteral("Min")}));
      EXPECT_EQ(d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->tabText(0),
                QStringLiteral("Detailverstärkung"));
      EXPECT_EQ(
          d.findChild<QLabel *>(QStringLiteral("lblPreviewSize"))->text(),
          QStringLiteral("Vorschaugröße: %1").arg(d.findChild<QSpinBox *>(QStringLiteral("stpPreviewSize"))->value()));
      dialog_test::click(d, "btnPreview");
      EXPECT_EQ(d.findChild<QPushButton *>(QStringLiteral("btnPreview"))->text(), QStringLiteral("Vorschau zeigen"));
      dialog_test::click(d, "btnPreview");
      EXPECT_EQ(d.findChild<QPushButton *>(QStringLiteral("btnPreview"))->text(), QStringLiteral("Original zeigen"));

      // An edit marks the menu "Custom"; the translated built-in applies its settings, also after
      // the menu has been kept across a tab switch.
      dialog_test::move_slider(d, "sldStrength", 500);
      dialog_test::settle();
      EXPECT_EQ(popup->currentText(), QStringLiteral("Benutzerdefiniert"));
      select_method(d, 2);
      select_method(d, 1);
      ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Natürlich")));
      EXPECT_EQ(c.values()._valForce, int(brightloom::kBuiltinPresets[0].param[TMLIB_DE_STRENGTH]));
      EXPECT_EQ(popup->currentText(), QStringLiteral("Natürlich"));

      // The second "Standard" is the user's file, the first one the defaults.
      int users = -1;
      for (int i = 0; i < popup->count(); ++i)
        if (popup->itemText(i) == QStringLiteral("Standard")) users = i;
      ASSERT_GT(users, 0);
      popup->setCurrentIndex(users);
      Q_EMIT popup->activated(users);
      EXPECT_EQ(c.values()._valForce, 33);
      ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Standard")));
      EXPECT_EQ(*c.tmSettingsDico()->record(1), defaults(1));
      EXPECT_EQ(c.values()._valForce, 70);

      // Alerts: the title and the message in German, the method's name filled in translated.
      ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Einstellungen laden...")));
      ASSERT_EQ(panels.titles.size(), 1u);
      EXPECT_EQ(panels.titles[0], QStringLiteral("Fehler"));
      EXPECT_EQ(panels.messages[0],
                QStringLiteral("Die XMP-Datei enthält keine Einstellungen für Detailverstärkung.\r\n\r\n"));
      // Qt's own texts (the file panels) follow the dialog's language.
      EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), QStringLiteral("Suchen in:"));
    });
  }
  EXPECT_EQ(QCoreApplication::translate("brightloom::dialog::ToneMappingPluginController", "Default"),
            QStringLiteral("Default"))
      << "the tables are removed with the dialog";
  EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), QStringLiteral("Look in:"));

  // A language without a table shows the English texts.
  const UserLocale french(QLocale(QLocale::French, QLocale::France));
  run([&](QDialog &d, ToneMappingPluginController &c) {
    EXPECT_EQ(dialog_test::preset_menu(d).front(), QStringLiteral("Default"));
    EXPECT_EQ(smoothing_titles(d)[2], QStringLiteral("Med"));
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Load Settings...")));
    ASSERT_EQ(panels.titles.size(), 2u);
    EXPECT_EQ(panels.titles[1], QStringLiteral("Error"));
    ASSERT_TRUE(dialog_test::choose_preset(d, QStringLiteral("Default")));
    EXPECT_EQ(c.values()._valForce, 70);
  });
}

}  // namespace
