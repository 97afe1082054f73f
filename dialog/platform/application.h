// SPDX-License-Identifier: MIT
// Qt inside a host that may not be a Qt program.
#pragma once

namespace brightloom::dialog {

// Makes sure a QApplication exists: the host's own when it has one, otherwise one created here
// and kept for the life of the process (the host keeps the bundle loaded and calls again).
// False when the process has a Qt application without widgets (a QCoreApplication), in which no
// dialog can be shown.
bool ensure_application();

// The online processor count, clamped to 0..32; 1 when it cannot be read.
int processor_count();

}  // namespace brightloom::dialog
