// SPDX-License-Identifier: MIT
// DoCocoaUI in a host without a Qt application of its own. Each case needs a process without
// one, as ctest runs them; run together in one process, the later ones skip.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include "support/dialog_host.h"

namespace {

using dialog_test::Records;

#define REQUIRE_NO_APPLICATION() \
  if (QCoreApplication::instance() != nullptr) GTEST_SKIP() << "needs a process of its own"

TEST(Application, CreatedWhenTheHostHasNone) {
  REQUIRE_NO_APPLICATION();
  // A document too thin for the Details Enhancer makes the first preview fail with an alert;
  // the alert is where this test gets control, since no timer can exist before the application.
  dialog_test::RecordingServices services;
  services.onAlert = [] {
    QTimer::singleShot(0, [] {
      if (auto *d = qobject_cast<QDialog *>(QApplication::activeModalWidget())) d->reject();
    });
  };
  dialog_test::Document doc = dialog_test::float_document(4000, 40, 3);
  Records r;
  r.settings.stickySizeType = 0;
  doc.info.lenProfile = 0;
  EXPECT_EQ(DoCocoaUI(&doc.info, r.tm.data(), &r.settings, nullptr, doc.pixels.data()), 0);
  EXPECT_NE(qobject_cast<QApplication *>(QCoreApplication::instance()), nullptr);
  EXPECT_EQ(services.messages.size(), 1u);
}

TEST(Application, NullRecordsAreRefused) {
  REQUIRE_NO_APPLICATION();
  float tm[20] = {};
  UserSettings u{};
  HostImageInfo i{100, 100, 3, 0, {0, 0}, 0};
  EXPECT_EQ(DoCocoaUI(nullptr, tm, &u, nullptr, nullptr), 0);
  EXPECT_EQ(DoCocoaUI(&i, nullptr, &u, nullptr, nullptr), 0);
  EXPECT_EQ(DoCocoaUI(&i, tm, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(QCoreApplication::instance(), nullptr) << "refused before anything is set up";
}

}  // namespace
