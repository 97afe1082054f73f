// SPDX-License-Identifier: MIT
#include "icc.h"

#include <lcms2.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace brightloom {
namespace {

// Profiles we make carry a fixed creation date (2026-01-01) instead of the moment they were
// made, so that rendering the same image twice writes the same file.
void fix_creation_date(std::vector<unsigned char> &icc) {
  if (icc.size() < 128) return;
  const unsigned char date[12] = {0x07, 0xEA, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};  // year, month, day, h, m, s
  std::copy(date, date + 12, icc.begin() + 24);
}

std::vector<unsigned char> save(cmsHPROFILE p) {
  std::vector<unsigned char> out;
  cmsUInt32Number len = 0;
  if (p && cmsSaveProfileToMem(p, nullptr, &len) && len > 0) {
    out.resize(len);
    if (!cmsSaveProfileToMem(p, out.data(), &len)) out.clear();
    fix_creation_date(out);
  }
  if (p) cmsCloseProfile(p);
  return out;
}

std::vector<unsigned char> make_grey() {
  // The sRGB transfer curve as an ICC parametric curve (type 4).
  const cmsFloat64Number srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
  cmsToneCurve *curve = cmsBuildParametricToneCurve(nullptr, 4, srgb);
  cmsHPROFILE p = curve ? cmsCreateGrayProfile(cmsD50_xyY(), curve) : nullptr;
  if (curve) cmsFreeToneCurve(curve);
  if (p) {
    cmsMLU *mlu = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(mlu, "en", "US", "Grey, sRGB tone curve (Brightloom)");
    cmsWriteTag(p, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
  }
  return save(p);
}

void describe(cmsHPROFILE p, const std::string &text) {
  cmsMLU *mlu = cmsMLUalloc(nullptr, 1);
  if (!mlu) return;
  cmsMLUsetASCII(mlu, "en", "US", text.c_str());
  cmsWriteTag(p, cmsSigProfileDescriptionTag, mlu);
  cmsMLUfree(mlu);
}

}  // namespace

std::vector<unsigned char> primaries_profile(const Chromaticities &c, int spp, double gamma) {
  const cmsCIExyY white = {c.white_x, c.white_y, 1.0};
  cmsToneCurve *curve = cmsBuildGamma(nullptr, gamma);
  if (!curve) return {};
  cmsHPROFILE p = nullptr;
  if (spp == 1) {
    p = cmsCreateGrayProfile(&white, curve);
  } else {
    const cmsCIExyYTRIPLE prim = {{c.red_x, c.red_y, 1.0}, {c.green_x, c.green_y, 1.0}, {c.blue_x, c.blue_y, 1.0}};
    cmsToneCurve *curves[3] = {curve, curve, curve};
    p = cmsCreateRGBProfile(&white, &prim, curves);
  }
  cmsFreeToneCurve(curve);
  if (p) {
    char text[200];
    const std::string what = spp == 1 ? "Grey" : describe_primaries(c);
    if (gamma == 1.0)
      std::snprintf(text, sizeof text, "%s, linear (Brightloom)", what.c_str());
    else
      std::snprintf(text, sizeof text, "%s, gamma %.1f (Brightloom)", what.c_str(), gamma);
    describe(p, text);
  }
  return save(p);
}

bool profile_primaries(const std::vector<unsigned char> &profile, Chromaticities &out) {
  if (profile.empty()) return false;
  cmsHPROFILE p = cmsOpenProfileFromMem(profile.data(), cmsUInt32Number(profile.size()));
  if (!p) return false;
  bool ok = false;
  const auto *r = static_cast<const cmsCIEXYZ *>(cmsReadTag(p, cmsSigRedColorantTag));
  const auto *g = static_cast<const cmsCIEXYZ *>(cmsReadTag(p, cmsSigGreenColorantTag));
  const auto *b = static_cast<const cmsCIEXYZ *>(cmsReadTag(p, cmsSigBlueColorantTag));
  if (cmsGetColorSpace(p) == cmsSigRgbData && cmsIsMatrixShaper(p) && r && g && b) {
    // The profile's own white: D50 taken back through the adaptation matrix where the profile
    // has one (version 4), else the media white point (version 2).
    cmsCIEXYZ white = *cmsD50_XYZ();
    const auto *chad = static_cast<const cmsFloat64Number *>(cmsReadTag(p, cmsSigChromaticAdaptationTag));
    const auto *wtpt = static_cast<const cmsCIEXYZ *>(cmsReadTag(p, cmsSigMediaWhitePointTag));
    if (chad) {
      const double *m = chad;
      const double det =
          m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) + m[2] * (m[3] * m[7] - m[4] * m[6]);
      if (det != 0) {
        const double inv[9] = {
            (m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det, (m[1] * m[5] - m[2] * m[4]) / det,
            (m[5] * m[6] - m[3] * m[8]) / det, (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
            (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det, (m[0] * m[4] - m[1] * m[3]) / det};
        const cmsCIEXYZ d50 = *cmsD50_XYZ();
        white = {inv[0] * d50.X + inv[1] * d50.Y + inv[2] * d50.Z, inv[3] * d50.X + inv[4] * d50.Y + inv[5] * d50.Z,
                 inv[6] * d50.X + inv[7] * d50.Y + inv[8] * d50.Z};
      }
    } else if (wtpt) {
      white = *wtpt;
    }
    cmsCIEXYZ prim[3];
    ok = cmsAdaptToIlluminant(&prim[0], cmsD50_XYZ(), &white, r) &&
         cmsAdaptToIlluminant(&prim[1], cmsD50_XYZ(), &white, g) &&
         cmsAdaptToIlluminant(&prim[2], cmsD50_XYZ(), &white, b);
    auto xy = [](const cmsCIEXYZ &v, float &x, float &y) {
      const double sum = v.X + v.Y + v.Z;
      x = sum != 0 ? float(v.X / sum) : 0.0f;
      y = sum != 0 ? float(v.Y / sum) : 0.0f;
    };
    xy(prim[0], out.red_x, out.red_y);
    xy(prim[1], out.green_x, out.green_y);
    xy(prim[2], out.blue_x, out.blue_y);
    xy(white, out.white_x, out.white_y);
  }
  cmsCloseProfile(p);
  return ok;
}

const std::vector<unsigned char> &builtin_profile(int spp) {
  static std::once_flag once;
  static std::vector<unsigned char> rgb, grey;
  std::call_once(once, [] {
    rgb = save(cmsCreate_sRGBProfile());
    grey = make_grey();
  });
  return spp == 1 ? grey : rgb;
}

std::vector<unsigned char> profile_for_output(const std::vector<unsigned char> &input, int spp) {
  if (!input.empty()) {
    cmsHPROFILE p = cmsOpenProfileFromMem(input.data(), cmsUInt32Number(input.size()));
    if (p) {
      const cmsColorSpaceSignature cs = cmsGetColorSpace(p);
      cmsCloseProfile(p);
      if ((spp == 3 && cs == cmsSigRgbData) || (spp == 1 && cs == cmsSigGrayData)) return input;
    }
  }
  return builtin_profile(spp);
}

std::string describe_profile(const std::vector<unsigned char> &profile) {
  if (profile.empty()) return "none";
  cmsHPROFILE p = cmsOpenProfileFromMem(profile.data(), cmsUInt32Number(profile.size()));
  if (!p) return "unreadable (" + std::to_string(profile.size()) + " bytes)";
  char desc[256] = "";
  cmsGetProfileInfoASCII(p, cmsInfoDescription, "en", "US", desc, sizeof desc);
  const cmsColorSpaceSignature cs = cmsGetColorSpace(p);
  cmsCloseProfile(p);
  const char *space = cs == cmsSigRgbData ? "RGB" : cs == cmsSigGrayData ? "grey" : "other colour space";
  return std::string(desc[0] ? desc : "unnamed") + ", " + space + ", " + std::to_string(profile.size()) + " bytes";
}

}  // namespace brightloom
