// SPDX-License-Identifier: MIT
// How a GIMP drawable's pixels become a document for the engine and how the result goes back:
// the sample type read for each precision, the babl format used both ways, and the conversions
// between GIMP's samples and the host's Image and Picture. Free of libgimp, so that it can be
// tested on known pixels without GIMP.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image.h"
#include "result.h"

namespace brightloom::gimp {

// GIMP's component types (GimpComponentType without its numbering).
enum class Component { U8, U16, U32, Half, Float, Double };

// What the engine is given for a drawable.
struct DocumentLayout {
  int doc_type = 0;  // 0 float (linear light), 1 16-bit, 2 8-bit
  // Samples read from and written to GEGL: "float" (linear), "u16" or "u8" in the drawable's own
  // encoding (linear or perceptual).
  SampleType sample = SampleType::F32;
  bool linear = true;  // the samples' encoding as babl names it ("RGB" vs "R'G'B'")
  int spp = 3;         // colour samples: 1 grey, 3 RGB
  bool alpha = false;  // the drawable has an alpha channel, read and written back untouched
};

// GIMP's precision codes (GimpPrecision: component x 100, +50 for a perceptual TRC) taken apart;
// false for a code that names no precision GIMP 2.10 has.
bool split_precision(int code, Component &component, bool &linear_trc);

// Float, half and double drawables are float documents in linear light (whatever their TRC, babl
// gives linear floats); 32-bit integer ones are kept at 16 bits in their own encoding, as 16-bit
// ones are; 8-bit ones travel the engine's 16-bit path as 8-bit documents.
DocumentLayout layout_for(Component c, bool linear_trc, bool grey, bool alpha);

// The babl format name for reading and writing the drawable: "RGBA float", "Y'A u16", "R'G'B' u8".
std::string babl_format_name(const DocumentLayout &l);

// Bytes per pixel of that format.
int bytes_per_pixel(const DocumentLayout &l);

// The colour samples of `pixels` (width x height pixels of babl_format_name(l), rows packed) as
// the host's Image: floats as they are, 16-bit samples scaled 0..65535 -> 0..32768 (rounded, as
// the host reads 16-bit files), 8-bit bytes as they are. The alpha channel is not copied.
Result<Image> to_image(const DocumentLayout &l, int width, int height, const void *pixels);

// Writes the rendered picture over the colour samples of `pixels` (same layout as to_image read),
// leaving alpha as it was. Float drawables take the engine's 16-bit linear result divided by
// 65535; 16-bit drawables its 16-bit samples; 8-bit drawables its 8-bit samples. The picture
// must have the drawable's size, colour samples and the bits out_bits() asks for.
Status write_back(const DocumentLayout &l, const Picture &pic, void *pixels);

// The bits per sample to render at: 8 for 8-bit documents, else 16.
inline int out_bits(const DocumentLayout &l) { return l.doc_type == 2 ? 8 : 16; }

}  // namespace brightloom::gimp
