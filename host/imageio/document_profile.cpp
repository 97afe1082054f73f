// SPDX-License-Identifier: MIT
#include "document_profile.h"

#include "icc.h"

namespace brightloom {

std::vector<unsigned char> document_profile(const Image &img) {
  if (img.doc_type() == 0) return primaries_profile(img.primaries, img.spp, 1.0);
  return profile_for_output(img.icc, img.spp);
}

std::vector<unsigned char> picture_profile(const Image &img) {
  if (img.doc_type() == 0) return primaries_profile(img.primaries, img.spp, 2.2);
  return profile_for_output(img.icc, img.spp);
}

std::string describe_picture_encoding(const Image &img) {
  if (img.doc_type() == 0)
    return "the linear result encoded with the exact 1/2.2 power, tagged with a profile of these primaries "
           "and a pure 2.2 curve";
  const std::vector<unsigned char> &own = profile_for_output(img.icc, img.spp);
  if (!img.icc.empty() && own == img.icc) return "in the file's own encoding, tagged with its profile";
  return std::string("in the file's own encoding, tagged ") +
         (img.spp == 1 ? "grey with the sRGB tone curve" : "sRGB") + " (the file has no usable profile)";
}

}  // namespace brightloom
