// SPDX-License-Identifier: MIT
// libtiff reports problems through process-wide handlers; these keep the last message of the
// calling thread, so that concurrent jobs of a batch each name their own file's problem.
#pragma once

#include <string>

namespace brightloom {

void install_tiff_handlers();
// The calling thread's last libtiff error, then cleared; error (when given) receives the
// errno at the first error since the last call, which names the cause of a failed write.
std::string take_tiff_error(int *error = nullptr);

}  // namespace brightloom
