// SPDX-License-Identifier: MIT
#include "icc.h"

#include <lcms2.h>

#include <cstdio>
#include <mutex>

namespace brightloom {
namespace {

std::vector<unsigned char> save(cmsHPROFILE p) {
  std::vector<unsigned char> out;
  cmsUInt32Number len = 0;
  if (p && cmsSaveProfileToMem(p, nullptr, &len) && len > 0) {
    out.resize(len);
    if (!cmsSaveProfileToMem(p, out.data(), &len)) out.clear();
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
    if (gamma == 1.0) std::snprintf(text, sizeof text, "%s, linear (Brightloom)", what.c_str());
    else std::snprintf(text, sizeof text, "%s, gamma %.1f (Brightloom)", what.c_str(), gamma);
    describe(p, text);
  }
  return save(p);
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
  return std::string(desc[0] ? desc : "unnamed") + ", " + space + ", " + std::to_string(profile.size()) +
         " bytes";
}

}  // namespace brightloom
