// SPDX-License-Identifier: MIT
// Fuzz target for the settings reader: every input is written to a file and read by probing
// and by a full read for each method; the records read are written back to a document of
// exactly the measured size, so a bad measurement overruns the buffer.
#include <tmlib/xmp.h>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::string &input_path() {
  static const std::string path = [] {
    const char *dir = std::getenv("TMPDIR");
    std::string name = std::string(dir != nullptr ? dir : "/tmp") + "/xmp_fuzz_XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) std::abort();
    close(fd);
    return name;
  }();
  return path;
}

void store(const uint8_t *data, size_t size) {
  std::FILE *file = std::fopen(input_path().c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
}

void write_back(int method, const float *param) {
  const int length = embed_xmp(0, nullptr, method, param);
  if (length <= 0) std::abort();
  std::vector<char> doc(static_cast<size_t>(length));
  if (embed_xmp(1, doc.data(), method, param) != length) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  store(data, size);
  const char *path = input_path().c_str();

  const int probed = parse_xmp(path, -1, nullptr);
  float probe_record[20] = {};
  if (parse_xmp(path, -1, probe_record) != probed) std::abort();  // the record changes nothing

  for (int method : {1, 2, 10, 11}) {
    float param[20] = {};
    const int result = parse_xmp(path, method, param);
    if (result == 0 || (result < 0 && result != -1 && result != -2 && result != -5 && result != -10)) std::abort();
    if (result > 0) write_back(method, param);
  }
  return 0;
}
