// SPDX-License-Identifier: MIT
// libtiff reports problems through process-wide handlers; these keep the last message of the
// calling thread, so that concurrent jobs of a batch each name their own file's problem.
#pragma once

#include <string>

namespace brightloom {

void install_tiff_handlers();
std::string take_tiff_error();  // the calling thread's last libtiff error, then cleared

}  // namespace brightloom
