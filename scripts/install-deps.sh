#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: asks apt only for what is missing, and runs 'apt-get update' only then.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools qt6-l10n-tools qt6-translations-l10n fonts-dejavu-core
  libopenexr-dev libtiff-dev libpng-dev libjpeg62-turbo-dev liblcms2-dev libcli11-dev
  xvfb xdotool
  gimp libgimp2.0-dev
  dpkg-dev file fakeroot lintian desktop-file-utils shared-mime-info man-db groff-base strace librsvg2-bin
  libraw-dev libexiv2-dev
  luminance-hdr
  # bench only: the exposure-fusion peer, JPEG decoding of bracket sets and the quality scripts
  enfuse libjpeg-turbo-progs imagemagick python3-numpy python3-scipy python3-pil
  # Batches across machines: the local Slurm test (auth/none, no munge) and the cluster recipes.
  slurm-wlm parallel
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
