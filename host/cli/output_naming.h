// SPDX-License-Identifier: MIT
// Where the pictures of a render go: their format and their names.
#pragma once

#include <string>
#include <vector>

#include "formats.h"
#include "result.h"

namespace brightloom {

// The format of the pictures: format_name (--format), else the extension of output (-o),
// else the default. Refused, with a usage message, when the two disagree, when neither names
// a format this program writes, or when the format cannot hold `bits` per sample.
Result<const FormatDescriptor *> choose_output_format(const std::string &format_name, const std::string &output,
                                                      int bits);

// The picture of each input: output when given (one input), else the input's name with the
// format's extension in out_dir (empty: the current folder). Two inputs of the same name get
// distinct pictures (x.png, x-2.png), and no picture takes the name of another input of the
// batch, found by file identity: x.exr beside x.png would otherwise replace x.png before x.png
// is read. (A picture that would replace its own input is refused when that input is rendered.)
std::vector<std::string> picture_paths(const std::vector<std::string> &inputs, const std::string &output,
                                       const std::string &out_dir, const FormatDescriptor &format);

}  // namespace brightloom
