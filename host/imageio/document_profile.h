// SPDX-License-Identifier: MIT
// The colour profiles of a document: the one the tone-mapping dialog receives with the image
// (HostImageInfo's profile), and the one a picture rendered from it carries.
//
// Both methods end in linear light for a float document (docType 0): the engine applies the
// 2.2 display power itself. The dialog puts that result into its preview with the document's
// profile, so a float document's profile is a linear one of the image's primaries. The
// pictures the host writes are display-referred instead: the engine's 16-bit linear result is
// encoded with the exact 1/2.2 power and tagged with a profile of the same primaries and a pure
// 2.2 curve, so that a colour-managed viewer shows the very colours of the preview. 16- and
// 8-bit documents keep their own encoding and profile throughout.
#pragma once

#include <string>
#include <vector>

#include "image.h"

namespace brightloom {

// The profile to hand the dialog with the document: for a float document a linear profile of
// its primaries (Rec. 709/sRGB unless the file names others); for a 16- or 8-bit document the
// file's own when it suits the channels, else the built-in sRGB (grey: sRGB tone curve) that
// its pictures carry too. Never empty. Reads only the image's kind, channels, profile and
// primaries, so it may be called after the pixels have been handed to the renderer.
std::vector<unsigned char> document_profile(const Image &img);

// The profile of a picture rendered from the document (display-encoded for float documents,
// as above; the document's own otherwise).
std::vector<unsigned char> picture_profile(const Image &img);

// How the pictures of this document are encoded, in a sentence for `info`.
std::string describe_picture_encoding(const Image &img);

}  // namespace brightloom
