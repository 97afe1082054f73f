// SPDX-License-Identifier: MIT
#include "settings.h"

#include <tmlib/tmlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace brightloom {
namespace fs = std::filesystem;
namespace {

// Ranges are those of the dialog's text fields; gamma is given as the gamma itself.
const std::vector<SlotInfo> kDetails = {
    {"Luminosity", TMLIB_DE_LUMINOSITY, SlotKind::Number, -10, 10, "overall brightness"},
    {"Strength", TMLIB_DE_STRENGTH, SlotKind::Integer, 1, 100, "strength of the local compression"},
    {"ColorSaturation", TMLIB_DE_COLOR_SATURATION, SlotKind::Integer, 0, 100, "colour saturation"},
    {"WhiteClip", TMLIB_DE_WHITE_CLIP, SlotKind::Clip, 0, 10, "percent of the brightest pixels clipped to white"},
    {"BlackClip", TMLIB_DE_BLACK_CLIP, SlotKind::Clip, 0, 10, "percent of the darkest pixels clipped to black"},
    {"SmoothingMode", TMLIB_DE_SMOOTHING_MODE, SlotKind::SmoothingMode, 0, 1, "Light (five levels) or Slider"},
    {"Smoothing", TMLIB_DE_SMOOTHING, SlotKind::Smoothing, -10, 10,
     "a number -10..10 (slider), or Very High, High, Medium, Low, Very Low (levels)"},
    {"Microcontrast", TMLIB_DE_MICROCONTRAST, SlotKind::Number, -10, 10, "contrast of fine detail"},
    {"Microsmoothing", TMLIB_DE_MICROSMOOTHING, SlotKind::Number, 0, 30, "smoothing of fine detail"},
    {"Gamma", TMLIB_DE_GAMMA, SlotKind::Gamma, 0.25f, 2.0f, "gamma of the result (1.0 = unchanged)"},
    {"HighlightsSmoothing", TMLIB_DE_HIGHLIGHTS_SMOOTHING, SlotKind::Integer, 0, 100, "smoothing of the highlights"},
    {"ShadowsSmoothing", TMLIB_DE_SHADOWS_SMOOTHING, SlotKind::Integer, 0, 100, "smoothing of the shadows"},
    {"ShadowsClipping", TMLIB_DE_SHADOWS_CLIPPING, SlotKind::Integer, 0, 100, "clipping of the shadows"},
    {"ColorTemperature", TMLIB_DE_COLOR_TEMPERATURE, SlotKind::Number, -10, 10, "warmer (+) or cooler (-)"},
    {"SaturationHighlights", TMLIB_DE_SATURATION_HIGHLIGHTS, SlotKind::Number, -10, 10, "saturation of the highlights"},
    {"SaturationShadows", TMLIB_DE_SATURATION_SHADOWS, SlotKind::Number, -10, 10, "saturation of the shadows"},
    {"Panorama360", TMLIB_DE_PANORAMA_360, SlotKind::Flag, 0, 1,
     "1 for a 360-degree panorama whose left and right edges meet"},
};

const std::vector<SlotInfo> kCompressor = {
    {"Brightness", TMLIB_TC_BRIGHTNESS, SlotKind::Number, -10, 10, "overall brightness"},
    {"Compression", TMLIB_TC_COMPRESSION, SlotKind::Number, -10, 10, "strength of the compression"},
    {"Contrast", TMLIB_TC_CONTRAST, SlotKind::Number, -10, 10, "contrast"},
    {"WhiteClip", TMLIB_TC_WHITE_CLIP, SlotKind::Clip, 0, 10, "percent of the brightest pixels clipped to white"},
    {"BlackClip", TMLIB_TC_BLACK_CLIP, SlotKind::Clip, 0, 10, "percent of the darkest pixels clipped to black"},
    {"ColorTemperature", TMLIB_TC_COLOR_TEMPERATURE, SlotKind::Number, -10, 10, "warmer (+) or cooler (-)"},
    {"Saturation", TMLIB_TC_SATURATION, SlotKind::Number, -10, 10, "colour saturation"},
};

// Exposure fusion. Every control is symmetric around its neutral 0 except the clips and
// Fusion/Intensive's Strength and Radius.
const std::vector<SlotInfo> kFusionAdjust = {
    {"Accentuation", TMLIB_FA_ACCENTUATION, SlotKind::Number, -100, 100,
     "local contrast: above 0 favours and sharpens detail, below 0 a softer blend"},
    {"BlendingPoint", TMLIB_FA_BLENDING_POINT, SlotKind::Number, -100, 100,
     "balance of the exposures: darker (-) or brighter (+)"},
    {"Shadows", TMLIB_FA_SHADOWS, SlotKind::Number, -100, 100, "lifts (+) or deepens (-) the shadows"},
    {"Saturation", TMLIB_FA_SATURATION, SlotKind::Number, -100, 100, "colour saturation (-100 grey)"},
    {"WhiteClip", TMLIB_FA_WHITE_CLIP, SlotKind::Clip, 0, 10, "percent of the brightest pixels clipped to white"},
    {"BlackClip", TMLIB_FA_BLACK_CLIP, SlotKind::Clip, 0, 10, "percent of the darkest pixels clipped to black"},
    {"MidtonesAdjustment", TMLIB_FA_MIDTONES, SlotKind::Number, -100, 100, "brighter (+) or darker (-) mid-tones"},
};

const std::vector<SlotInfo> kFusionIntensive = {
    {"Strength", TMLIB_FI_STRENGTH, SlotKind::Number, 0, 100, "local adaptation: weight and gain of local contrast"},
    {"Saturation", TMLIB_FI_SATURATION, SlotKind::Number, -100, 100, "colour saturation (-100 grey)"},
    {"Radius", TMLIB_FI_RADIUS, SlotKind::Number, 1, 200,
     "neighbourhood of the local contrast, in pixels of a picture 1024 pixels long (scaled with the image)"},
};

const char *kLevelWords[5] = {"Very High", "High", "Medium", "Low", "Very Low"};

bool iequals(const std::string &a, const std::string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string names_list(int method) {
  std::string out;
  for (const SlotInfo &s : slots_of(method)) out += (out.empty() ? "" : ", ") + std::string(s.name);
  return out;
}

std::string format_number(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", double(v));
  return buf;
}

// The dialog's rounding of integer-valued slots: a fraction of exactly 0.5 rounds down.
float round_like_dialog(double v) {
  double n = std::trunc(v);
  if (v - n > 0.5) n += 1;
  return float(n);
}

std::string reason_of_xmp(int code, int method) {
  switch (code) {
    case TMLIB_ERR_OPEN:
      return "cannot open the settings file";
    case TMLIB_ERR_SHORT_IO:
      return "the settings file has a line that cannot be read";
    case TMLIB_ERR_RUN_REPEAT:
      return std::string("the settings file is not for ") + method_name(method) + " but for the other method";
    case TMLIB_ERR_NOT_SETTINGS:
      return "the file does not contain tone-mapping settings";
    default:
      return "error reading the settings file (code " + std::to_string(code) + ")";
  }
}

// The record read from a settings file, held to the ranges --set enforces: a file is as
// untrusted as the command line, and a value far outside the dialog's range can make the
// solver run for ever or leave a black picture after the whole render. (The smoothing level
// and mode are read as words and cannot be out of range.)
Status check_values(const std::string &file, int method, const TmParam &p) {
  for (const SlotInfo &s : slots_of(method)) {
    const float v = p[size_t(s.slot)];
    double shown = double(v);
    bool in_range = v >= s.min && v <= s.max;
    if (s.kind == SlotKind::Gamma) {
      // Slot 8 holds the slider position: gamma 2.0 is position 0, gamma 0.25 position 150.
      // Compared as stored, reported as the gamma the file gives.
      in_range = v >= 0.0f && v <= 150.0f;
      shown = std::pow(2.0, (50.0 - double(v)) / 50.0);
    }
    if (std::isnan(v)) return fail(file, std::string(s.name) + " is not a number");
    if (!in_range) {
      char text[160];
      std::snprintf(text, sizeof text, "%s=%g is out of range: %s takes %g to %g", s.name, shown, s.name, double(s.min),
                    double(s.max));
      return fail(file, text);
    }
  }
  return Status::success();
}

}  // namespace

const std::vector<SlotInfo> &slots_of(int method) {
  switch (method) {
    case TMLIB_METHOD_COMPRESSOR:
      return kCompressor;
    case TMLIB_METHOD_FUSION_ADJUST:
      return kFusionAdjust;
    case TMLIB_METHOD_FUSION_INTENSIVE:
      return kFusionIntensive;
    default:
      return kDetails;
  }
}

const char *method_name(int method) {
  switch (method) {
    case TMLIB_METHOD_DETAILS:
      return "Details Enhancer";
    case TMLIB_METHOD_COMPRESSOR:
      return "Tone Compressor";
    case TMLIB_METHOD_FUSION_ADJUST:
      return "Fusion/Adjust";
    case TMLIB_METHOD_FUSION_INTENSIVE:
      return "Fusion/Intensive";
    default:
      return "?";
  }
}

Result<Assignment> parse_assignment(int method, const std::string &text) {
  const size_t eq = text.find('=');
  const std::string name = trim(text.substr(0, eq));
  const SlotInfo *info = nullptr;
  for (const SlotInfo &s : slots_of(method))
    if (iequals(s.name, name)) info = &s;
  if (info == nullptr)
    return fail("",
                "unknown setting \"" + name + "\" for " + method_name(method) + "; valid names: " + names_list(method));
  if (eq == std::string::npos) return fail("", name + " needs a value: " + name + "=VALUE");
  const std::string value = trim(text.substr(eq + 1));
  Assignment a;
  a.info = info;
  a.text = text;

  if (info->kind == SlotKind::SmoothingMode) {
    if (iequals(value, "Light") || value == "0")
      a.word = 0;
    else if (iequals(value, "Slider") || value == "1")
      a.word = 1;
    else
      return fail("", "SmoothingMode must be Light or Slider, not \"" + value + "\"");
    return a;
  }
  if (info->kind == SlotKind::Smoothing) {
    for (int i = 0; i < 5; ++i)
      if (iequals(value, kLevelWords[i])) {
        a.word = i;
        return a;
      }
  }
  char *end = nullptr;
  // A number beyond double's range is still a number: strtod gives it as infinity or as (a
  // value near) zero, and the range check below judges that.
  const double v = value.empty() ? NAN : std::strtod(value.c_str(), &end);
  if (value.empty() || *end != '\0' || std::isnan(v))
    return fail(
        "", name + "=" + value + ": not a number" + (info->kind == SlotKind::Smoothing ? " or smoothing level" : ""));
  if (v < info->min || v > info->max)
    return fail("", std::string(info->name) + "=" + value + " is out of range: " + info->name + " takes " +
                        format_number(info->min) + " to " + format_number(info->max));
  switch (info->kind) {
    case SlotKind::Integer:
      a.value = round_like_dialog(v);
      break;
    case SlotKind::Flag:
      if (v != 0 && v != 1) return fail("", std::string(info->name) + " must be 0 or 1");
      a.value = float(v);
      break;
    case SlotKind::Gamma:
      // Slot 8 holds the gamma slider position, as the dialog stores a typed gamma.
      a.value = float(50.0f * (1.0f - float(std::log(float(v))) / float(std::log(2.0))));
      break;
    default:
      a.value = float(v);
      break;
  }
  return a;
}

Result<int> probe_settings_file(const std::string &path) {
  const int r = parse_xmp(path.c_str(), -1, nullptr);
  if (r < 0) return fail(path, reason_of_xmp(r, 0));
  if (r == 1 || r == 2 || r == 10 || r == 11) return r;
  if (r == 0) return fail(path, "the settings file names a method this program does not know");
  // Without a method line the probe reads the whole file: the settings suit either method.
  return 0;
}

Status check_settings_file(const std::string &path, int method) {
  // Slots the file leaves alone keep their defaults, which are in range.
  TmParam scratch{};
  tmparam_default(method, 0, scratch.data());
  const int r = parse_xmp(path.c_str(), method, scratch.data());
  if (r < 0) return fail(path, reason_of_xmp(r, method));
  return check_values(path, method, scratch);
}

Result<TmParam> resolve(const SettingsRecipe &recipe, int docType) {
  TmParam p{};
  tmparam_default(recipe.method, docType, p.data());
  if (!recipe.file.empty()) {
    const int r = parse_xmp(recipe.file.c_str(), recipe.method, p.data());
    if (r < 0) return fail(recipe.file, reason_of_xmp(r, recipe.method));
    // Again here: the file may have changed since it was first checked.
    if (Status st = check_values(recipe.file, recipe.method, p); !st) return st.failure();
  }
  for (const Assignment &a : recipe.changes) {
    const SlotInfo &s = *a.info;
    if (s.kind == SlotKind::SmoothingMode) {
      p[TMLIB_DE_SMOOTHING_MODE] = float(a.word);
    } else if (s.kind == SlotKind::Smoothing) {
      // A level word selects the five-level smoothing, a number the continuous slider.
      if (a.word >= 0) {
        p[TMLIB_DE_SMOOTHING_MODE] = 0;
        p[TMLIB_DE_SMOOTHING_LEVEL] = float(a.word);
      } else {
        p[TMLIB_DE_SMOOTHING_MODE] = 1;
        p[TMLIB_DE_SMOOTHING] = a.value;
      }
    } else {
      p[s.slot] = a.value;
    }
  }
  return p;
}

std::vector<std::string> preset_names() {
  std::vector<std::string> names;
  for (const std::string &dir : preset_folders()) {
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec)) {
      std::string ext = e.path().extension().string();
      if (!iequals(ext, ".xmp")) continue;
      std::string stem = e.path().stem().string();
      if (std::none_of(names.begin(), names.end(), [&](const std::string &n) { return iequals(n, stem); }))
        names.push_back(stem);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

Result<std::string> find_preset(const std::string &name) {
  // Menu titles have spaces ("Smooth Skies") where the file names have none (SmoothSkies.xmp):
  // either spelling finds the preset.
  std::string wanted;
  for (const char c : name)
    if (c != ' ') wanted += c;
  for (const std::string &dir : preset_folders()) {
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
      if (iequals(e.path().extension().string(), ".xmp") && iequals(e.path().stem().string(), wanted))
        return e.path().string();
  }
  std::string list;
  for (const std::string &n : preset_names()) list += (list.empty() ? "" : ", ") + n;
  return fail("", "no preset called \"" + name + "\"; " +
                      (list.empty() ? std::string("no presets are installed") : "available: " + list));
}

std::string last_settings_path() {
  const std::string dir = config_folder();
  return dir.empty() ? std::string() : (fs::path(dir) / "last-settings.xmp").string();
}

Status save_last_settings(int method, const TmParam &param) {
  const std::string path = last_settings_path();
  if (path.empty()) return fail("", "no config folder (neither XDG_CONFIG_HOME nor HOME is set)");
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  // The settings writer replaces the file through a temporary beside it and follows the
  // settings files' rules: a symbolic link (a config folder kept elsewhere) is written
  // through, a read-only file is left as it is.
  const int r = write_xmp(path.c_str(), method, param.data());
  if (r == 1) return Status::success();
  return fail(path, r == TMLIB_ERR_OPEN ? "cannot save the last settings: the file or its folder cannot be written"
                                        : "cannot save the last settings (code " + std::to_string(r) + ")");
}

}  // namespace brightloom
