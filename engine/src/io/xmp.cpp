// SPDX-License-Identifier: MIT
// XMP tone-mapping settings: the fixed-layout writer and the tolerant line-scanning reader.
//
// The writer always produces one element per line in a fixed order, so that files written by
// any version of the engine look alike and diff cleanly. The reader does not parse XML: it
// looks for literal tag texts line by line, which is what lets it read the older files of the
// same family (older version numbers, method names, tag names and word-valued fields).
#include "tmlib/xmp.h"

#include "core/status.h"
#include "io/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tmlib {
namespace {

// Result codes of this family beside the engine-wide ones.
enum : int {
  kXmpErrMethod = -2,        // write_xmp: a method other than 1 and 2
  kXmpErrWrite = -3,         // write_xmp: the document could not be written in full
  kXmpErrOtherMethod = -5,   // parse_xmp: the file is for another method
  kXmpErrNotSettings = -10,  // parse_xmp: no line declares the settings namespace
};

// Settings files are exchanged between machines: numbers are always written and read with a
// full stop, whatever locale the host program has switched the process to (a Qt application
// adopts the user's locale at start-up). The switch is per thread, so concurrent callers are
// not disturbed.
class CNumericLocale {
 public:
  CNumericLocale() {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (c_locale != static_cast<locale_t>(nullptr)) previous_ = uselocale(c_locale);
  }
  ~CNumericLocale() {
    if (previous_ != static_cast<locale_t>(nullptr)) uselocale(previous_);
  }
  CNumericLocale(const CNumericLocale &) = delete;
  CNumericLocale &operator=(const CNumericLocale &) = delete;

 private:
  locale_t previous_ = static_cast<locale_t>(nullptr);
};

constexpr std::string_view kHeader =
    "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n"
    "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
    "\n"
    "<rdf:Description rdf:about=''\n"
    "xmlns:bltm='" TMLIB_XMP_NAMESPACE
    "'>\n"
    "<bltm:Version>3.2</bltm:Version>\n";

constexpr std::string_view kFooter =
    "</rdf:Description>\n"
    "\n"
    "</rdf:RDF>\n"
    "</x:xmpmeta>\n";

// How a field is written and read.
enum class Kind {
  kNumber,         // "%1.1f"; read as an integer in the integer mode of old files
  kReal,           // "%1.1f"; always read as a float
  kClip,           // "%f" (six decimals); always read as a float
  kSmoothingMode,  // word "Light" or "Slider" (slot 16)
  kSmoothing,      // level word (slot 5) or slider value (slot 17), by the smoothing mode
  kMicrocontrast,  // number; a word in files of version 2.4 and older
  kGamma,          // the gamma itself, not the slider position of slot 8
};

struct Field {
  const char *tag;
  int slot;
  Kind kind;
  const char *old_tag = nullptr;  // an older name still accepted by the reader
};

constexpr int kSmoothingLevelSlot = 5;
constexpr int kGammaSlot = 8;
constexpr int kSmoothingModeSlot = 16;
constexpr int kSmoothingSliderSlot = 17;

constexpr Field kDetailsFields[] = {
    {"Strength", 1, Kind::kNumber},
    {"ColorSaturation", 2, Kind::kNumber},
    {"Luminosity", 0, Kind::kNumber},
    {"WhiteClip", 3, Kind::kClip},
    {"BlackClip", 4, Kind::kClip},
    {"SmoothingMode", kSmoothingModeSlot, Kind::kSmoothingMode},
    {"Smoothing", kSmoothingSliderSlot, Kind::kSmoothing},
    {"Microcontrast", 6, Kind::kMicrocontrast},
    {"Microsmoothing", 7, Kind::kNumber, "NoiseSmoothing"},
    {"Gamma", kGammaSlot, Kind::kGamma},
    {"HighlightsSmoothing", 9, Kind::kNumber},
    {"ShadowsSmoothing", 10, Kind::kNumber},
    {"ShadowsClipping", 11, Kind::kNumber},
    {"ColorTemperature", 12, Kind::kNumber},
    {"SaturationHighlights", 13, Kind::kNumber},
    {"SaturationShadows", 14, Kind::kNumber},
};

constexpr Field kCompressorFields[] = {
    {"Brightness", 0, Kind::kNumber},  {"Compression", 1, Kind::kNumber}, {"Contrast", 2, Kind::kNumber},
    {"WhiteClip", 3, Kind::kClip},     {"BlackClip", 4, Kind::kClip},     {"ColorTemperature", 12, Kind::kNumber},
    {"Saturation", 13, Kind::kNumber},
};

// The two clip values sit one slot later than in the other methods.
constexpr Field kFusionAdjustFields[] = {
    {"Accentuation", 0, Kind::kReal},       {"BlendingPoint", 1, Kind::kReal}, {"Shadows", 2, Kind::kReal},
    {"Saturation", 3, Kind::kReal},         {"WhiteClip", 4, Kind::kClip},     {"BlackClip", 5, Kind::kClip},
    {"MidtonesAdjustment", 6, Kind::kReal},
};

constexpr Field kFusionIntensiveFields[] = {
    {"Strength", 0, Kind::kReal},
    {"Saturation", 1, Kind::kReal},
    {"Radius", 2, Kind::kReal},
};

struct Layout {
  int method;
  const char *name;
  std::span<const Field> fields;
};

constexpr Layout kLayouts[] = {
    {1, "Details Enhancer", kDetailsFields},
    {2, "Tone Compressor", kCompressorFields},
    {10, "Fusion/Adjust", kFusionAdjustFields},
    {11, "Fusion/Intensive", kFusionIntensiveFields},
};

const Layout *find_layout(int method) {
  for (const Layout &layout : kLayouts)
    if (layout.method == method) return &layout;
  return nullptr;
}

// Names the reader maps to method codes, older names included, tested as prefixes.
struct MethodName {
  std::string_view text;
  int method;
};
constexpr MethodName kMethodNames[] = {
    {"Contrast Enhancer", 1}, {"Details Enhancer", 1}, {"Smooth Adaptation", 2},
    {"Tone Compressor", 2},   {"Fusion/Adjust", 10},   {"Fusion/Intensive", 11},
};

// The five smoothing levels by code; three words are padded to eight characters, and the
// padding belongs to the written value.
constexpr const char *kLevelWordsWritten[] = {"Very High", "High    ", "Medium  ", "Low     ", "Very Low"};
constexpr std::string_view kLevelWordsRead[] = {"Very High", "High", "Medium", "Low", "Very Low"};

struct WordValue {
  std::string_view text;
  float value;
};
// Word values of Microcontrast in old files; "Medium Low" must be tried before "Medium".
constexpr WordValue kMicrocontrastWords[] = {
    {"High", 0.0f},    {"Medium High", -2.0f}, {"Medium Low", -6.0f},
    {"Medium", -2.0f}, {"Low", -9.0f},         {"Very Low", -10.0f},
};

// ---------------------------------------------------------------------------------------
// Writer

// Collects the document, or only its length when there is nowhere to write.
class DocumentSink {
 public:
  explicit DocumentSink(char *out) : out_(out) {}
  void put(std::string_view text) {
    if (out_ != nullptr) std::memcpy(out_ + length_, text.data(), text.size());
    length_ += text.size();
  }
  std::size_t length() const { return length_; }

 private:
  char *out_;
  std::size_t length_ = 0;
};

// Level code of slot 5 for writing. The dialog only stores 0..4; anything else is pinned to
// the nearest level so that the file stays readable, and NaN writes the default level.
int level_code_for_writing(float value) {
  if (std::isnan(value)) return 1;
  if (value <= 0.0f) return 0;
  if (value >= 4.0f) return 4;
  return static_cast<int>(value);
}

// Slot 16 "as an integer": 0 only for values that truncate to 0. Any other value (NaN
// included) is the slider mode, which is what the operators take for anything but 0.
bool is_light_mode(float value) { return std::fabs(value) < 1.0f; }

void put_value_line(DocumentSink &sink, const char *tag, const char *value) {
  // Longest value: "%f" of -FLT_MAX, 47 characters; the longest tag has 20.
  char line[256];
  const int n = std::snprintf(line, sizeof line, "<bltm:%s>%s</bltm:%s>\n", tag, value, tag);
  if (n > 0) sink.put(std::string_view(line, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1)));
}

void put_number_line(DocumentSink &sink, const char *tag, const char *format, float value) {
  char text[96];
  std::snprintf(text, sizeof text, format, static_cast<double>(value));
  put_value_line(sink, tag, text);
}

void put_field(DocumentSink &sink, const Field &field, const float *param) {
  const float value = param[field.slot];
  switch (field.kind) {
    case Kind::kNumber:
    case Kind::kReal:
    case Kind::kMicrocontrast:
      put_number_line(sink, field.tag, "%1.1f", value);
      break;
    case Kind::kClip:
      put_number_line(sink, field.tag, "%f", value);
      break;
    case Kind::kSmoothingMode:
      put_value_line(sink, field.tag, is_light_mode(value) ? "Light" : "Slider");
      break;
    case Kind::kSmoothing:
      if (is_light_mode(param[kSmoothingModeSlot]))
        put_value_line(sink, field.tag, kLevelWordsWritten[level_code_for_writing(param[kSmoothingLevelSlot])]);
      else
        put_number_line(sink, field.tag, "%1.1f", param[kSmoothingSliderSlot]);
      break;
    case Kind::kGamma: {
      // Slot 8 is the slider position v; the file carries the gamma 2^((50 - v) / 50).
      const double v = static_cast<double>(value);
      const float gamma = static_cast<float>(std::exp((50.0 - v) * std::log(2.0) / 50.0));
      put_number_line(sink, field.tag, "%1.1f", gamma);
      break;
    }
  }
}

std::size_t build_document(char *out, int method, const float *param) {
  static constexpr float kZeros[TMLIB_TMPARAM_SLOTS] = {};
  if (param == nullptr) param = kZeros;
  DocumentSink sink(out);
  sink.put(kHeader);
  if (const Layout *layout = find_layout(method)) {
    put_value_line(sink, "Method", layout->name);
    for (const Field &field : layout->fields) put_field(sink, field, param);
  }
  sink.put(kFooter);
  return sink.length();
}

// Saves the document through the system's one way of replacing a file: a temporary file beside
// the destination, flushed to disk and renamed over it, keeping the file's permissions, owner,
// hard links and symbolic links (see replace_file.h for where it writes in place instead).
int save_document(const char *path, const std::vector<char> &doc, std::size_t length) {
  const ReplaceResult r = replace_file(path, [&](int fd) { return write_all(fd, doc.data(), length); });
  if (r.ok()) return 1;
  return r.fault == ReplaceFault::kWrite ? int(kXmpErrWrite) : int(kErrOpen);
}

// ---------------------------------------------------------------------------------------
// Reader

// Lines are read from a window over the file. A line counts only when it is at most 255
// bytes long including its line feed and that line feed is neither of the file's last two
// bytes; a last line without a line feed does not count either. The first line that does
// not count ends the scan.
class LineScanner {
 public:
  static constexpr std::size_t kMaxLine = 255;

  LineScanner(std::FILE *file, off_t size) : file_(file), size_(size) {}

  // 1: line() holds the next line; 0: the scan ends here; kErrShortIo: a read came up short.
  int next() {
    const off_t remaining = size_ - pos_;
    if (remaining <= 0) return 0;
    // The line and the byte that follows it.
    const std::size_t want =
        remaining > static_cast<off_t>(kMaxLine + 1) ? kMaxLine + 1 : static_cast<std::size_t>(remaining);
    if (!fill(want)) return kErrShortIo;
    const char *start = window_ + begin_;
    const void *lf = std::memchr(start, '\n', std::min(want, kMaxLine));
    if (lf == nullptr) return 0;
    const std::size_t length = static_cast<std::size_t>(static_cast<const char *>(lf) - start) + 1;
    if (pos_ + static_cast<off_t>(length) > size_ - 2) return 0;
    std::memcpy(line_, start, length);
    line_[length] = '\0';  // number parsing stops at the end of the line
    line_length_ = length;
    begin_ += length;
    pos_ += static_cast<off_t>(length);
    return 1;
  }

  std::string_view line() const { return {line_, line_length_}; }
  // NUL-terminated text of the line from byte `offset`.
  const char *text_at(std::size_t offset) const { return line_ + offset; }
  off_t position() const { return pos_; }

 private:
  // Makes `want` bytes from the current position available in the window.
  bool fill(std::size_t want) {
    if (end_ - begin_ >= want) return true;
    std::memmove(window_, window_ + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    const off_t unread = size_ - pos_ - static_cast<off_t>(end_);
    std::size_t room = sizeof window_ - end_;
    if (static_cast<off_t>(room) > unread) room = static_cast<std::size_t>(unread);
    while (end_ < want) {
      const std::size_t got = std::fread(window_ + end_, 1, room, file_);
      end_ += got;
      room -= got;
      if (got == 0) break;
    }
    return end_ >= want;
  }

  std::FILE *file_;
  off_t size_;
  off_t pos_ = 0;
  char window_[8192];
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  char line_[kMaxLine + 1];
  std::size_t line_length_ = 0;
};

constexpr std::size_t kNotFound = std::string_view::npos;

// Offset just past the first occurrence of "<bltm:" + tag + ">" in the line, or kNotFound.
std::size_t find_start_tag(std::string_view line, const char *tag) {
  char start_tag[40];
  const int n = std::snprintf(start_tag, sizeof start_tag, "<bltm:%s>", tag);
  const std::string_view needle(start_tag, static_cast<std::size_t>(n));
  const std::size_t at = line.find(needle);
  return at == kNotFound ? kNotFound : at + needle.size();
}

// "%f" itself, not strtof: the two differ where scanf has consumed characters it cannot
// give back ("0x" followed by no hex digit is no number for scanf, 0 for strtof), and files
// of the family have always been read the scanf way.
bool parse_float(const char *text, float &out) {
  float value = 0.0f;
  if (std::sscanf(text, "%f", &value) != 1) return false;
  out = value;
  return true;
}

// Like "%d": optional white space and sign, then digits; saturates at the int range.
// Returns the end of the number, or null when there is none.
const char *parse_int(const char *text, long &out) {
  char *end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text) return nullptr;
  out = std::clamp<long>(value, INT_MIN, INT_MAX);
  return end;
}

// A number right after a start tag, or one byte further on when that fails. Integer mode
// reads the integer part only ("70.0" gives 70).
bool read_number(const LineScanner &scanner, std::size_t offset, bool integer_mode, float &out) {
  for (std::size_t at = offset; at <= offset + 1 && at <= scanner.line().size(); ++at) {
    if (integer_mode) {
      long value = 0;
      if (parse_int(scanner.text_at(at), value) != nullptr) {
        out = static_cast<float>(value);
        return true;
      }
    } else if (parse_float(scanner.text_at(at), out)) {
      return true;
    }
  }
  return false;
}

// "%d.%d" on the text after the version tag: stores what it converts, and tells whether
// both numbers were converted.
bool parse_version(const char *text, int &major, int &minor) {
  long value = 0;
  const char *rest = parse_int(text, value);
  if (rest == nullptr) return false;
  major = static_cast<int>(value);
  if (*rest != '.' || parse_int(rest + 1, value) == nullptr) return false;
  minor = static_cast<int>(value);
  return true;
}

struct ReadState {
  int major = 0;
  int minor = 0;
  bool integer_mode = false;  // set for old files, never cleared
  int found_method = 0;
  bool done[TMLIB_TMPARAM_SLOTS] = {};
  bool gamma_read = false;
};

void scan_version(std::string_view line, const LineScanner &scanner, ReadState &state) {
  static constexpr std::string_view kTag = "<bltm:Version>";
  for (std::size_t at = line.find(kTag); at != kNotFound; at = line.find(kTag, at + 1))
    if (parse_version(scanner.text_at(at + kTag.size()), state.major, state.minor)) break;
}

// Applies every method line in `line`; false when the line has none.
bool scan_method(std::string_view line, ReadState &state) {
  static constexpr std::string_view kTag = "<bltm:Method>";
  bool seen = false;
  for (std::size_t at = line.find(kTag); at != kNotFound; at = line.find(kTag, at + 1)) {
    seen = true;
    const std::string_view name = line.substr(at + kTag.size());
    for (const MethodName &known : kMethodNames)
      if (name.starts_with(known.text)) {
        state.found_method = known.method;
        break;
      }
  }
  return seen;
}

void read_field(const Field &field, const LineScanner &scanner, ReadState &state, float *param) {
  const std::string_view line = scanner.line();
  int slot = field.slot;
  if (field.kind == Kind::kSmoothing) {
    // The mode as it stands when the line is examined picks the slot.
    const float mode = param[kSmoothingModeSlot];
    if (mode == 0.0f)
      slot = kSmoothingLevelSlot;
    else if (mode == 1.0f)
      slot = kSmoothingSliderSlot;
    else
      return;
  }
  if (state.done[slot]) return;
  std::size_t at = find_start_tag(line, field.tag);
  if (at == kNotFound && field.old_tag != nullptr) at = find_start_tag(line, field.old_tag);
  if (at == kNotFound) return;
  state.done[slot] = true;  // only the first occurrence counts, readable or not

  const std::string_view text = line.substr(at);
  float value = 0.0f;
  switch (field.kind) {
    case Kind::kNumber:
      if (read_number(scanner, at, state.integer_mode, value)) param[slot] = value;
      break;
    case Kind::kReal:
    case Kind::kClip:
      if (read_number(scanner, at, false, value)) param[slot] = value;
      break;
    case Kind::kSmoothingMode:
      if (text.starts_with("Light"))
        param[slot] = 0.0f;
      else if (text.starts_with("Slider"))
        param[slot] = 1.0f;
      break;
    case Kind::kSmoothing:
      if (slot == kSmoothingSliderSlot) {
        if (read_number(scanner, at, false, value)) param[slot] = value;
        break;
      }
      for (int code = 0; code < 5; ++code)
        if (text.starts_with(kLevelWordsRead[code])) {
          param[slot] = static_cast<float>(code);
          break;
        }
      break;
    case Kind::kMicrocontrast:
      if (state.major <= 2 && state.minor <= 4) {
        for (const WordValue &word : kMicrocontrastWords)
          if (text.starts_with(word.text)) {
            param[slot] = word.value;
            break;
          }
      } else if (read_number(scanner, at, state.integer_mode, value)) {
        param[slot] = value;
      }
      break;
    case Kind::kGamma:
      if (read_number(scanner, at, false, value)) {
        // A gamma of 0 or less (or not finite) has no slider position: it is skipped, and
        // the slider then falls back to gamma 1.0 like a file without a gamma.
        const double g = static_cast<double>(value);
        if (g > 0.0 && std::isfinite(g)) {
          const float position = static_cast<float>((1.0 - std::log(g) / std::log(2.0)) * 50.0);
          if (std::isfinite(position)) {
            param[slot] = position;
            state.gamma_read = true;
          }
        }
      }
      break;
  }
}

int offset_result(off_t position) {
  return position > static_cast<off_t>(INT_MAX) ? INT_MAX : static_cast<int>(position);
}

int read_settings(std::FILE *file, int method, float *param) {
  if (::fseeko(file, 0, SEEK_END) != 0) return kErrOpen;
  const off_t size = ::ftello(file);
  if (size < 0 || ::fseeko(file, 0, SEEK_SET) != 0) return kErrOpen;

  LineScanner scanner(file, size);
  // Pass 1: the namespace declaration marks a settings file.
  for (;;) {
    const int got = scanner.next();
    if (got < 0) return got;
    if (got == 0) return kXmpErrNotSettings;
    if (scanner.line().find("xmlns:bltm=") != kNotFound) break;
  }

  // Pass 2: version, method and values, up to the closing "</rdf:" line.
  const bool probing = method == -1;
  const Layout *layout = probing ? nullptr : find_layout(method);
  ReadState state;
  for (;;) {
    const int got = scanner.next();
    if (got < 0) return got;
    if (got == 0) break;
    const std::string_view line = scanner.line();
    scan_version(line, scanner, state);
    if (state.major <= 2) state.integer_mode = true;
    if (scan_method(line, state)) {
      if (probing) return state.found_method;
      if (state.found_method != method) return kXmpErrOtherMethod;
    }
    if (layout != nullptr && param != nullptr)
      for (const Field &field : layout->fields) read_field(field, scanner, state, param);
    if (line.find("</rdf:") != kNotFound) break;
  }
  if (param != nullptr && !state.gamma_read) param[kGammaSlot] = 50.0f;
  return offset_result(scanner.position());
}

}  // namespace
}  // namespace tmlib

using namespace tmlib;

extern "C" int embed_xmp(int write, char *buffer, int method, const float *param) {
  const CNumericLocale c_numbers;
  return static_cast<int>(build_document(write != 0 ? buffer : nullptr, method, param));
}

extern "C" int write_xmp(const char *path, int method, const float *param) {
  if (method != 1 && method != 2) return kXmpErrMethod;
  if (path == nullptr || *path == '\0') return kErrOpen;
  try {
    const CNumericLocale c_numbers;
    const std::size_t length = build_document(nullptr, method, param);
    std::vector<char> doc(length + 1, '\0');
    build_document(doc.data(), method, param);
    return save_document(path, doc, length);
  } catch (const std::bad_alloc &) {
    return kErrNoMemory;
  } catch (...) {
    return kXmpErrWrite;
  }
}

extern "C" int parse_xmp(const char *path, int method, float *param) {
  if (path == nullptr) return kErrOpen;
  std::FILE *file = std::fopen(path, "rb");
  if (file == nullptr) return kErrOpen;
  int result = kErrOpen;
  struct stat info {};
  if (::fstat(::fileno(file), &info) == 0 && !S_ISDIR(info.st_mode)) {
    try {
      const CNumericLocale c_numbers;
      result = read_settings(file, method, param);
    } catch (...) {
      result = kErrNoMemory;
    }
  }
  std::fclose(file);
  return result;
}
