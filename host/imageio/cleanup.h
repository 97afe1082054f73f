// SPDX-License-Identifier: MIT
// Temporary files that must not outlive an interrupted run: the hidden partial picture and the
// work-from-disk folder. Registered paths are removed when the program is stopped by SIGINT,
// SIGTERM or SIGHUP (the handler then lets the signal end the program as usual).
#pragma once

namespace brightloom {

// Installs the signal handlers; the program calls it once, tests need not.
void install_interrupt_cleanup();

// Registers a file (removed with unlink) or an empty-at-the-end folder (removed with rmdir,
// after every registered file). Returns a slot for unregister_temp, or -1 when the table is
// full or the path too long (the path is then simply not cleaned up on interruption).
int register_temp_file(const char *path);
int register_temp_folder(const char *path);
void unregister_temp(int slot);

}  // namespace brightloom
