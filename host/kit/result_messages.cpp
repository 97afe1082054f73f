// SPDX-License-Identifier: MIT
#include "result_messages.h"

namespace brightloom {

std::string engine_reason(const char *stage, int code) {
  std::string what;
  switch (code) {
    case -1:
      what = "a file cannot be opened or positioned, or the statistics are unusable";
      break;
    case -2:
      what = "a read or write failed, or a worker thread could not be created";
      break;
    case -3:
      what = "inconsistent image dimensions";
      break;
    case -4:
      what = "not enough memory";
      break;
    case -20:
      what = "a temporary file of the solver failed";
      break;
    case -101:
    case -102:
      what = "the compressed luminance is invalid";
      break;
    case 0:
      what = "nothing was produced";
      break;
    default:
      what = "engine error";
      break;
  }
  return std::string(stage) + " failed: " + what + " (code " + std::to_string(code) + ")";
}

}  // namespace brightloom
