// SPDX-License-Identifier: MIT
// The file formats the program reads and writes, one descriptor each. Everything the program
// knows about a format (how to recognise it, its names, its reader and writer, the depths it
// holds) is in its descriptor; reading, output naming, the command line and the messages work
// from the table, so adding a format is adding one descriptor.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "image.h"

namespace brightloom {

struct FormatDescriptor {
  const char *label = nullptr;  // for messages: "PNG", "Radiance .hdr"
  const char *name = nullptr;   // the name --format takes ("png"); its extensions without the dot work too
  // Lower-case file extensions with the dot; an output file gets the first.
  std::span<const char *const> extensions;
  // Whether the first bytes of a file (n of them, n >= 1) are this format's; nullptr for a
  // format that is never read. The probes of all formats refuse each other's bytes.
  bool (*probe)(const unsigned char *head, size_t n) = nullptr;
  // Files without the signature exist (headerless Radiance files): read them by their name
  // when no probe recognises them.
  bool read_by_extension = false;
  // threads: workers a reader may use; as_rgbe: deliver float files as RGBE rows, as the
  // renderer needs them (see read_image).
  Result<Image> (*read)(const std::string &path, int threads, bool as_rgbe) = nullptr;
  // Writes the whole picture to an open, empty descriptor and closes it in every case;
  // nullptr for a format that is never written.
  Status (*write)(int fd, const Picture &pic, const WriteOptions &options) = nullptr;
  bool holds_8_bits = false;
  bool holds_16_bits = false;
  // The writer moves back in the file, so the output cannot be a pipe.
  bool writer_seeks = false;

  bool holds_bits(int bits) const { return bits == 16 ? holds_16_bits : bits == 8 && holds_8_bits; }
};

// Every format, in the order the messages list them.
std::span<const FormatDescriptor> all_formats();

// The format of the pictures when nothing names one (PNG).
const FormatDescriptor &default_output_format();

// The format whose probe recognises the first bytes of a file; nullptr for none.
const FormatDescriptor *format_of_bytes(const unsigned char *head, size_t n);
// The format a file name's extension names (case-insensitive); nullptr for none.
const FormatDescriptor *format_of_extension(const std::string &path);
// The writable format named by --format (its name or an extension without the dot,
// case-insensitive); nullptr for none.
const FormatDescriptor *output_format_named(const std::string &name);
// The writable format a file name's extension names; nullptr when it names none.
const FormatDescriptor *output_format_of_path(const std::string &path);

// "OpenEXR, Radiance .hdr, TIFF, PFM, PNG": the labels of the formats that can be read.
std::string readable_labels();
// The writable formats, the default first, joined as "a, b or c": their names
// ("png, tiff or jpeg"), their output extensions (".png, .tif or .jpg"), or the labels of
// those that satisfy keep ("PNG or TIFF").
std::string output_format_names();
std::string output_format_extensions();
std::string output_format_labels(bool (*keep)(const FormatDescriptor &));

}  // namespace brightloom
