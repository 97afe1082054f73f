// SPDX-License-Identifier: MIT
// Settings files: the tolerant reader on old, foreign and damaged files, and its line rules.
#include "tmlib/xmp.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using Record = std::array<float, 20>;

const std::string kData = std::string(BRIGHTLOOM_SOURCE_DIR) + "/tests/engine/data/xmp/";

class TempFile {
 public:
  TempFile() {
    char name[] = "/tmp/xmp_read_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    path_ = name;
  }
  ~TempFile() { unlink(path_.c_str()); }
  const char *write(const std::string &bytes) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << bytes;
    return path_.c_str();
  }
  const char *path() const { return path_.c_str(); }

 private:
  std::string path_;
};

const std::string kOpening =
    "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n"
    "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
    "\n"
    "<rdf:Description rdf:about=''\n"
    "xmlns:bltm='http://brightloom.org/tone_mapping_settings'>\n";
const std::string kClosing = "</rdf:Description>\n\n</rdf:RDF>\n</x:xmpmeta>\n";

// A settings file whose pass-2 lines are `body`.
std::string settings(const std::string &body) { return kOpening + body + kClosing; }
std::string current(const std::string &values) {
  return settings("<bltm:Version>3.2</bltm:Version>\n<bltm:Method>Details Enhancer</bltm:Method>\n" + values);
}

Record read(const char *path, int method, int expected_sign = 1, Record start = {}) {
  const int result = parse_xmp(path, method, start.data());
  if (expected_sign > 0) {
    EXPECT_GT(result, 0) << path;
  }
  return start;
}

// ---------------------------------------------------------------------------------------
// Old files of the family

TEST(XmpReadOld, Version21DetailsFile) {
  const std::string path = kData + "old_v21_details.xmp";
  EXPECT_EQ(parse_xmp(path.c_str(), -1, nullptr), 1);  // "Contrast Enhancer"
  const Record r = read(path.c_str(), 1);
  Record want{};
  want[1] = 65.0f;  // integer mode of old files: "65.5" reads 65
  want[2] = 55.0f;
  want[0] = -3.0f;
  want[3] = 0.75f;  // clips are always read as floats
  want[4] = 0.125f;
  want[5] = 4.0f;   // no SmoothingMode: slot 16 stays 0, so "Very Low" is the level
  want[6] = -6.0f;  // Microcontrast "Medium Low"
  want[7] = 12.0f;  // NoiseSmoothing
  want[8] = 0.0f;   // gamma 2.0
  want[9] = 20.0f;
  for (int i = 0; i < 20; ++i) EXPECT_EQ(r[i], want[i]) << "slot " << i;
}

TEST(XmpReadOld, SmoothAdaptationIsAToneCompressorFile) {
  const std::string path = kData + "old_smooth_adaptation.xmp";
  EXPECT_EQ(parse_xmp(path.c_str(), -1, nullptr), 2);
  Record dummy{};
  EXPECT_EQ(parse_xmp(path.c_str(), 1, dummy.data()), -5);
  const Record r = read(path.c_str(), 2);
  Record want{};
  want[0] = 4.0f;
  want[1] = -2.0f;
  want[2] = 7.0f;
  want[3] = 0.3f;
  want[4] = 1.5f;
  want[12] = 3.0f;
  want[13] = -1.0f;
  want[8] = 50.0f;  // no gamma read, whatever the method
  for (int i = 0; i < 20; ++i) EXPECT_EQ(r[i], want[i]) << "slot " << i;
}

TEST(XmpReadOld, TheEarlierNamespaceUriReadsTheSame) {
  Record written{};
  written[1] = 80.0f;
  written[6] = -3.5f;
  written[16] = 1.0f;
  written[17] = 12.0f;
  std::string doc(static_cast<std::size_t>(embed_xmp(0, nullptr, 1, written.data())), '\0');
  embed_xmp(1, doc.data(), 1, written.data());
  const std::string now = "'" TMLIB_XMP_NAMESPACE "'";
  const std::size_t at = doc.find(now);
  ASSERT_NE(at, std::string::npos);
  std::string earlier = doc;
  earlier.replace(at, now.size(), "'http://brightloom.org/ns/1.0/tone_mapping_settings'");
  TempFile a, b;
  const Record fromNow = read(a.write(doc), 1);
  EXPECT_EQ(fromNow, read(b.write(earlier), 1));
  EXPECT_EQ(fromNow[17], 12.0f);
  EXPECT_EQ(parse_xmp(b.path(), -1, nullptr), 1);
}

TEST(XmpReadOld, MicrocontrastWordsOnlyInVersionsUpTo24) {
  TempFile file;
  const std::pair<const char *, float> words[] = {
      {"High", 0.0f},    {"Medium High", -2.0f}, {"Medium Low", -6.0f},
      {"Medium", -2.0f}, {"Low", -9.0f},         {"Very Low", -10.0f},
  };
  for (const auto &[word, value] : words) {
    const std::string body =
        std::string("<bltm:Version>2.1</bltm:Version>\n<bltm:Microcontrast>") + word + "</bltm:Microcontrast>\n";
    EXPECT_EQ(read(file.write(settings(body)), 1, 1, Record{{7.0f, 7.0f, 7.0f, 7.0f, 7.0f, 7.0f, 7.0f}})[6], value)
        << word;
  }
  // Version 2.5 and 3.2 expect a number: the word is skipped and the slot keeps its value.
  for (const char *version : {"2.5", "3.2"}) {
    Record start{};
    start[6] = 3.0f;
    const std::string body = std::string("<bltm:Version>") + version +
                             "</bltm:Version>\n<bltm:Microcontrast>Medium Low</bltm:Microcontrast>\n";
    EXPECT_EQ(read(file.write(settings(body)), 1, 1, start)[6], 3.0f) << version;
  }
  // A version 1.7 file has a minor version above 4: numbers, in integer mode.
  EXPECT_EQ(
      read(file.write(settings("<bltm:Version>1.7</bltm:Version>\n<bltm:Microcontrast>-4.5</bltm:Microcontrast>\n")),
           1)[6],
      -4.0f);
}

TEST(XmpReadOld, IntegerModeFollowsTheVersionLine) {
  TempFile file;
  const std::string strength = "<bltm:Strength>65.5</bltm:Strength>\n";
  EXPECT_EQ(read(file.write(settings("<bltm:Version>2.9</bltm:Version>\n" + strength)), 1)[1], 65.0f);
  EXPECT_EQ(read(file.write(settings("<bltm:Version>3.2</bltm:Version>\n" + strength)), 1)[1], 65.5f);
  // "%d.%d" stores what it converts: "3" alone is major version 3.
  EXPECT_EQ(read(file.write(settings("<bltm:Version>3</bltm:Version>\n" + strength)), 1)[1], 65.5f);
  // No version line at all, or a version line after the first line: integer mode from the
  // first line on, and it never switches back.
  EXPECT_EQ(read(file.write(settings(strength)), 1)[1], 65.0f);
  const Record late = read(file.write(settings("\n<bltm:Version>3.2</bltm:Version>\n" + strength +
                                               "<bltm:Luminosity>2.5</bltm:Luminosity>\n")),
                           1);
  EXPECT_EQ(late[1], 65.0f);
  EXPECT_EQ(late[0], 2.0f);
  // Clip, slider smoothing and gamma are floats even in integer mode.
  const Record floats = read(file.write(settings("<bltm:WhiteClip>1.5</bltm:WhiteClip>\n"
                                                 "<bltm:SmoothingMode>Slider</bltm:SmoothingMode>\n"
                                                 "<bltm:Smoothing>-2.5</bltm:Smoothing>\n"
                                                 "<bltm:Gamma>0.5</bltm:Gamma>\n")),
                             1);
  EXPECT_EQ(floats[3], 1.5f);
  EXPECT_EQ(floats[16], 1.0f);
  EXPECT_EQ(floats[17], -2.5f);
  EXPECT_EQ(floats[8], 100.0f);
}

TEST(XmpReadOld, FusionMethodsAreAlwaysReadAsFloats) {
  TempFile file;
  const Record r = read(file.write(settings("<bltm:Method>Fusion/Intensive</bltm:Method>\n"
                                            "<bltm:Strength>3.5</bltm:Strength>\n<bltm:Radius>12.5</bltm:Radius>\n")),
                        11);
  EXPECT_EQ(r[0], 3.5f);
  EXPECT_EQ(r[2], 12.5f);
}

// ---------------------------------------------------------------------------------------
// Word values and gamma

TEST(XmpReadWords, SmoothingFollowsTheModeAsItStands) {
  TempFile file;
  Record r = read(file.write(current("<bltm:SmoothingMode>Light</bltm:SmoothingMode>\n"
                                     "<bltm:Smoothing>High    </bltm:Smoothing>\n")),
                  1, 1, Record{{}});
  EXPECT_EQ(r[16], 0.0f);
  EXPECT_EQ(r[5], 1.0f);
  const std::pair<const char *, float> levels[] = {
      {"Very High", 0.0f}, {"High", 1.0f}, {"Medium  ", 2.0f}, {"Low", 3.0f}, {"Very Low", 4.0f}};
  for (const auto &[word, code] : levels) {
    Record start{};
    start[5] = 9.0f;
    r = read(file.write(current(std::string("<bltm:SmoothingMode>Light</bltm:SmoothingMode>\n<bltm:Smoothing>") + word +
                                "</bltm:Smoothing>\n")),
             1, 1, start);
    EXPECT_EQ(r[5], code) << word;
  }

  // Slider mode reads the number into slot 17 and leaves slot 5 alone.
  Record start{};
  start[5] = 2.0f;
  r = read(
      file.write(current("<bltm:SmoothingMode>Slider</bltm:SmoothingMode>\n<bltm:Smoothing>-7.5</bltm:Smoothing>\n")),
      1, 1, start);
  EXPECT_EQ(r[16], 1.0f);
  EXPECT_EQ(r[17], -7.5f);
  EXPECT_EQ(r[5], 2.0f);

  // An unknown mode word leaves slot 16 as the caller had it; a mode other than 0 or 1
  // reads no smoothing at all.
  start = Record{};
  start[16] = 3.0f;
  r = read(
      file.write(current("<bltm:SmoothingMode>Sometimes</bltm:SmoothingMode>\n<bltm:Smoothing>4.0</bltm:Smoothing>\n")),
      1, 1, start);
  EXPECT_EQ(r[16], 3.0f);
  EXPECT_EQ(r[5], 0.0f);
  EXPECT_EQ(r[17], 0.0f);

  // The done mark belongs to the slot the mode selected: a level read in "Light" mode does
  // not keep a slider value from being read once the mode says "Slider"; the mode itself
  // is read only once.
  r = read(file.write(current("<bltm:Smoothing>Low</bltm:Smoothing>\n"
                              "<bltm:SmoothingMode>Slider</bltm:SmoothingMode>\n"
                              "<bltm:Smoothing>6.5</bltm:Smoothing>\n"
                              "<bltm:SmoothingMode>Light</bltm:SmoothingMode>\n")),
           1);
  EXPECT_EQ(r[5], 3.0f);
  EXPECT_EQ(r[16], 1.0f);
  EXPECT_EQ(r[17], 6.5f);
}

TEST(XmpReadWords, GammaConversionAndItsFallback) {
  TempFile file;
  const std::pair<const char *, float> cases[] = {{"1.0", 50.0f}, {"2.0", 0.0f}, {"0.5", 100.0f}, {"4.0", -50.0f}};
  for (const auto &[gamma, position] : cases) {
    EXPECT_EQ(read(file.write(current(std::string("<bltm:Gamma>") + gamma + "</bltm:Gamma>\n")), 1)[8], position)
        << gamma;
  }
  EXPECT_NEAR(read(file.write(current("<bltm:Gamma>0.9</bltm:Gamma>\n")), 1)[8], 57.60, 0.005);
  // No gamma, an unreadable one, or one with no finite position: the slider goes to 50,
  // whatever the record held.
  for (const char *line :
       {"", "<bltm:Gamma>bright</bltm:Gamma>\n", "<bltm:Gamma>0.0</bltm:Gamma>\n", "<bltm:Gamma>-1.5</bltm:Gamma>\n",
        "<bltm:Gamma>inf</bltm:Gamma>\n", "<bltm:Gamma>nan</bltm:Gamma>\n"}) {
    Record start{};
    start[8] = 13.0f;
    const Record r = read(file.write(current(line)), 1, 1, start);
    EXPECT_EQ(r[8], 50.0f) << line;
    EXPECT_TRUE(std::isfinite(r[8]));
  }
}

// ---------------------------------------------------------------------------------------
// Scanning rules

TEST(XmpReadScan, OnlyTheFirstOccurrenceOfATagCounts) {
  TempFile file;
  Record start{};
  start[1] = 33.0f;
  Record r = read(file.write(current("<bltm:Strength>abc</bltm:Strength>\n<bltm:Strength>80.0</bltm:Strength>\n")), 1,
                  1, start);
  EXPECT_EQ(r[1], 33.0f);  // unreadable, yet done
  r = read(file.write(current("<bltm:Strength>10.0</bltm:Strength><bltm:Strength>20.0</bltm:Strength>\n"
                              "<bltm:Strength>30.0</bltm:Strength>\n")),
           1);
  EXPECT_EQ(r[1], 10.0f);
  // The new name wins over the old one on the same line; either counts once.
  r = read(file.write(
               current("<bltm:NoiseSmoothing>4.0</bltm:NoiseSmoothing><bltm:Microsmoothing>5.0</bltm:Microsmoothing>\n"
                       "<bltm:Microsmoothing>6.0</bltm:Microsmoothing>\n")),
           1);
  EXPECT_EQ(r[7], 5.0f);
}

TEST(XmpReadScan, TagsAnywhereInALineCaseSensitiveNumbersRetriedOneByteOn) {
  TempFile file;
  const Record r = read(file.write(current("  <bltm:Luminosity>2.5</bltm:Luminosity> <bltm:Strength> 44.0 "
                                           "<bltm:colorsaturation>9.0</bltm:colorsaturation>\n"
                                           "<bltm:ColorSaturation>x61.0</bltm:ColorSaturation>\n"
                                           "<bltm:ShadowsClipping>xx5.0</bltm:ShadowsClipping>\n")),
                        1);
  EXPECT_EQ(r[0], 2.5f);
  EXPECT_EQ(r[1], 44.0f);
  EXPECT_EQ(r[2], 61.0f);  // "x61.0" parses one byte further on
  EXPECT_EQ(r[11], 0.0f);  // only one retry

  // Numbers are what "%f" takes them for: "0x" without a hex digit after it is no number
  // (and "x..." one byte on neither), so the slot keeps what it held; "0x1p3" is 8.
  Record start{};
  start[9] = 7.0f;
  start[10] = 6.0f;
  start[3] = 0.5f;
  const Record hex = read(file.write(current("<bltm:HighlightsSmoothing>0xg</bltm:HighlightsSmoothing>\n"
                                             "<bltm:ShadowsSmoothing>-0x</bltm:ShadowsSmoothing>\n"
                                             "<bltm:WhiteClip>0x1p3</bltm:WhiteClip>\n")),
                          1, 1, start);
  EXPECT_EQ(hex[9], 7.0f);
  EXPECT_EQ(hex[10], 6.0f);
  EXPECT_EQ(hex[3], 8.0f);
}

TEST(XmpReadScan, ReadingStopsAfterTheClosingRdfLine) {
  TempFile file;
  const Record r = read(file.write(kOpening +
                                   "<bltm:Version>3.2</bltm:Version>\n"
                                   "<bltm:Strength>12.0</bltm:Strength></rdf:Description>\n"
                                   "<bltm:Luminosity>5.0</bltm:Luminosity>\n" +
                                   kClosing),
                        1);
  EXPECT_EQ(r[1], 12.0f);  // the closing line itself is examined
  EXPECT_EQ(r[0], 0.0f);
  // The namespace line starts pass 2 only after itself: values on it are not read.
  const Record same_line = read(file.write("<rdf:Description xmlns:bltm='x'><bltm:Strength>12.0</bltm:Strength>\n"
                                           "<bltm:Luminosity>5.0</bltm:Luminosity>\n" +
                                           kClosing),
                                1);
  EXPECT_EQ(same_line[1], 0.0f);
  EXPECT_EQ(same_line[0], 5.0f);
}

TEST(XmpReadScan, LineLengthLimitEndsTheReadQuietly) {
  TempFile file;
  const std::string path = kData + "long_line.xmp";
  const Record r = read(path.c_str(), 1);
  EXPECT_EQ(r[1], 80.0f);  // before the long caption
  EXPECT_EQ(r[2], 0.0f);   // after it: not read
  EXPECT_EQ(r[8], 50.0f);  // the gamma after it neither

  // 255 bytes including the line feed is still a line; 256 is not.
  const std::string value = "<bltm:Strength>12.0</bltm:Strength>";
  const std::string fits = value + std::string(254 - value.size(), ' ') + "\n";
  const std::string too_long = value + std::string(255 - value.size(), ' ') + "\n";
  ASSERT_EQ(fits.size(), 255u);
  EXPECT_EQ(read(file.write(current(fits + "<bltm:Luminosity>1.0</bltm:Luminosity>\n")), 1)[0], 1.0f);
  const Record cut = read(file.write(current(too_long + "<bltm:Luminosity>1.0</bltm:Luminosity>\n")), 1);
  EXPECT_EQ(cut[1], 0.0f);
  EXPECT_EQ(cut[0], 0.0f);
  // A long line before the namespace line means no settings file.
  EXPECT_EQ(parse_xmp(file.write(std::string(300, 'a') + "\n" + current("")), 1, nullptr), -10);
}

TEST(XmpReadScan, TheLastLinesOfTheFileAreNotExamined) {
  TempFile file;
  const std::string head = kOpening + "<bltm:Version>3.2</bltm:Version>\n";
  const std::string value = "<bltm:Strength>12.0</bltm:Strength>";
  // No line feed at all, the line feed as the last byte, or as the second-to-last byte:
  // the line does not count.
  for (const std::string &tail : {value, value + "\n", value + "\nX"}) {
    EXPECT_EQ(read(file.write(head + tail), 1)[1], 0.0f) << tail.size();
  }
  EXPECT_EQ(read(file.write(head + value + "\nXY"), 1)[1], 12.0f);
  // The same holds for the namespace line.
  EXPECT_EQ(parse_xmp(file.write("<a xmlns:bltm='x'>\n"), -1, nullptr), -10);
  EXPECT_EQ(parse_xmp(file.write("<a xmlns:bltm='x'>\nA"), -1, nullptr), -10);
  EXPECT_GT(parse_xmp(file.write("<a xmlns:bltm='x'>\nAB"), -1, nullptr), 0);
}

TEST(XmpReadScan, BinaryBytesInLinesAreHarmless) {
  TempFile file;
  std::string body = "<bltm:Strength>1";
  body.push_back('\0');
  body += "9.0</bltm:Strength>";
  body.push_back('\0');
  body += "<bltm:Luminosity>3.0</bltm:Luminosity>\n";
  const Record r = read(file.write(current(body)), 1);
  EXPECT_EQ(r[1], 1.0f);  // the number ends at the NUL
  EXPECT_EQ(r[0], 3.0f);  // tags are still found past it
}

// ---------------------------------------------------------------------------------------
// Methods and results

TEST(XmpReadMethod, ProbeAndMismatch) {
  TempFile file;
  const std::pair<const char *, int> names[] = {
      {"Details Enhancer", 1}, {"Contrast Enhancer", 1}, {"Tone Compressor", 2}, {"Smooth Adaptation", 2},
      {"Fusion/Adjust", 10},   {"Fusion/Intensive", 11}, {"Something Else", 0},  {"details enhancer", 0}};
  for (const auto &[name, code] : names) {
    const std::string doc = settings(std::string("<bltm:Method>") + name + "</bltm:Method>\n");
    Record probe_record{};
    probe_record[8] = 7.0f;
    EXPECT_EQ(parse_xmp(file.write(doc), -1, probe_record.data()), code) << name;
    EXPECT_EQ(probe_record[8], 7.0f) << "a probe answered by a method line stores nothing";
    Record r{};
    for (int asked : {1, 2, 10, 11}) {
      const int result = parse_xmp(file.path(), asked, r.data());
      if (asked == code) {
        EXPECT_GT(result, 0) << name;
      } else {
        EXPECT_EQ(result, -5) << name << " read as " << asked;
      }
    }
  }
  // The first method line answers the probe; a full read fails at a later different one.
  const std::string two =
      settings("<bltm:Method>Tone Compressor</bltm:Method>\n<bltm:Method>Details Enhancer</bltm:Method>\n");
  EXPECT_EQ(parse_xmp(file.write(two), -1, nullptr), 2);
  Record r{};
  EXPECT_EQ(parse_xmp(file.path(), 2, r.data()), -5);

  // Without a method line a file is read for any method, and probing gives the full read's
  // positive result.
  const std::string none = settings("<bltm:Version>3.2</bltm:Version>\n<bltm:Strength>5.0</bltm:Strength>\n");
  const int probed = parse_xmp(file.write(none), -1, nullptr);
  EXPECT_GT(probed, 0);
  EXPECT_EQ(parse_xmp(file.path(), 1, r.data()), probed);
  EXPECT_EQ(r[1], 5.0f);
  EXPECT_EQ(parse_xmp(file.path(), 1, nullptr), probed);  // no record: nothing stored
}

TEST(XmpReadMethod, NotASettingsFileOrNoFile) {
  EXPECT_EQ(parse_xmp((kData + "foreign.xmp").c_str(), -1, nullptr), -10);
  Record r{};
  r[8] = 3.0f;
  EXPECT_EQ(parse_xmp((kData + "foreign.xmp").c_str(), 2, r.data()), -10);
  EXPECT_EQ(r[8], 3.0f);
  TempFile file;
  EXPECT_EQ(parse_xmp(file.write(""), 1, r.data()), -10);
  EXPECT_EQ(parse_xmp(file.write("\n\n\n\n"), -1, nullptr), -10);
  EXPECT_EQ(parse_xmp((kData + "does-not-exist.xmp").c_str(), 1, r.data()), -1);
  EXPECT_EQ(parse_xmp(kData.c_str(), 1, r.data()), -1);  // a folder
  EXPECT_EQ(parse_xmp(nullptr, 1, r.data()), -1);
}

}  // namespace
