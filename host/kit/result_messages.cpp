// SPDX-License-Identifier: MIT
#include "result_messages.h"

namespace brightloom {
namespace {

struct CodeReason {
  int code;
  const char *reason;
};

// Every TmlibResult, in the order records.h lists them.
constexpr CodeReason kReasons[] = {
    {TMLIB_OK, "nothing was produced"},
    {TMLIB_ERR_OPEN, "a file cannot be opened or positioned, or the statistics are unusable"},
    {TMLIB_ERR_SHORT_IO, "a read or write failed, or a worker thread could not be created"},
    {TMLIB_ERR_DIMS, "inconsistent image dimensions"},
    {TMLIB_ERR_NO_MEMORY, "not enough memory"},
    {TMLIB_ERR_RUN_REPEAT, "malformed run-length data (a repeat runs past its component)"},
    {TMLIB_ERR_RUN_CODE, "malformed run-length data (a zero code, or a literal runs past its component)"},
    {TMLIB_ERR_NOT_SETTINGS, "the file does not contain tone-mapping settings"},
    {TMLIB_ERR_SOLVER_FILE, "a temporary file of the solver failed"},
    {TMLIB_ERR_PLANE_MIN, "the compressed luminance is invalid"},
    {TMLIB_ERR_PLANE_MAX, "the compressed luminance is invalid"},
};

}  // namespace

const char *engine_code_reason(int code) {
  for (const CodeReason &r : kReasons)
    if (r.code == code) return r.reason;
  return "an unknown engine error";
}

std::string engine_reason(const char *stage, int code) {
  return std::string(stage) + " failed: " + engine_code_reason(code) + " (code " + std::to_string(code) + ")";
}

}  // namespace brightloom
