// SPDX-License-Identifier: MIT
#include "output_naming.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <utility>

namespace brightloom {
namespace fs = std::filesystem;

Result<const FormatDescriptor *> choose_output_format(const std::string &format_name, const std::string &output,
                                                      int bits) {
  const FormatDescriptor *format = nullptr;
  if (!format_name.empty()) {
    format = output_format_named(format_name);
    if (format == nullptr) return fail("", "unknown --format \"" + format_name + "\" (" + output_format_names() + ")");
  }
  if (!output.empty()) {
    if (const FormatDescriptor *from_ext = output_format_of_path(output)) {
      if (format && from_ext != format) return fail("", "-o " + output + " does not match --format " + format_name);
      format = from_ext;
    } else if (format == nullptr) {
      return fail("", "cannot tell the output format from \"" + output + "\"; end it in " + output_format_extensions() +
                          ", or give --format");
    }
  }
  if (format == nullptr) format = &default_output_format();
  if (!format->holds_bits(bits)) {
    // The other depth is the one the format holds; these are the formats that hold this one.
    const std::string others = bits == 16
                                   ? output_format_labels([](const FormatDescriptor &f) { return f.holds_16_bits; })
                                   : output_format_labels([](const FormatDescriptor &f) { return f.holds_8_bits; });
    return fail("", std::string(format->label) + " holds " + (bits == 16 ? "8" : "16") + " bits per sample only; use " +
                        others + " for --bits " + std::to_string(bits));
  }
  return format;
}

std::vector<std::string> picture_paths(const std::vector<std::string> &inputs, const std::string &output,
                                       const std::string &out_dir, const FormatDescriptor &format) {
  std::vector<std::string> paths;
  if (!output.empty()) {
    paths.assign(inputs.size(), output);
    return paths;
  }
  // Inputs by file identity, counted once each, so that a large batch costs one look-up per name.
  using FileId = std::pair<dev_t, ino_t>;
  auto file_id = [](const std::string &path, FileId &id) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
  };
  std::map<FileId, int> input_ids;
  std::vector<FileId> own_ids(inputs.size(), FileId{0, 0});
  std::vector<bool> has_id(inputs.size(), false);
  for (size_t j = 0; j < inputs.size(); ++j)
    if ((has_id[j] = file_id(inputs[j], own_ids[j]))) ++input_ids[own_ids[j]];
  auto names_another_input = [&](const std::string &out, size_t self) {
    FileId id;
    if (!file_id(out, id)) return false;
    auto it = input_ids.find(id);
    if (it == input_ids.end()) return false;
    return it->second - int(has_id[self] && own_ids[self] == id) > 0;
  };

  const fs::path dir = out_dir.empty() ? fs::path(".") : fs::path(out_dir);
  const std::string extension = format.extensions.front();
  std::set<std::string> taken;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string stem = fs::path(inputs[i]).stem().string();
    std::string out = (dir / (stem + extension)).lexically_normal().string();
    for (int k = 2; taken.count(out) || names_another_input(out, i); ++k)
      out = (dir / (stem + "-" + std::to_string(k) + extension)).lexically_normal().string();
    taken.insert(out);
    paths.push_back(out);
  }
  return paths;
}

}  // namespace brightloom
