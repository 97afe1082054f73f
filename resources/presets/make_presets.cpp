// SPDX-License-Identifier: MIT
// Writes the built-in presets into the folder given as the only argument.
#include "builtin_presets.h"

#include <tmlib/xmp.h>

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  int failures = 0;
  for (const brightloom::BuiltinPreset &preset : brightloom::kBuiltinPresets) {
    const std::string path = std::string(argv[1]) + "/" + preset.file;
    const int result = write_xmp(path.c_str(), 1, preset.param);
    if (result != 1) {
      std::fprintf(stderr, "%s: write_xmp failed (%d)\n", path.c_str(), result);
      ++failures;
    }
  }
  for (const brightloom::BuiltinFusionPreset &preset : brightloom::kBuiltinFusionPresets) {
    const std::string path = std::string(argv[1]) + "/" + preset.file;
    const int result = write_xmp(path.c_str(), preset.method, preset.param);
    if (result != 1) {
      std::fprintf(stderr, "%s: write_xmp failed (%d)\n", path.c_str(), result);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
