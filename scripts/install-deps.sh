#!/usr/bin/env bash
# Installs the Debian 12 packages Clangwright needs to build, run and test.
# Idempotent: packages already present are left alone, and the package lists are
# refreshed only when something is missing. Works as root or through sudo.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libglib2.0-dev libgtk2.0-dev libgtkglext1-dev libxml2-dev libaudiofile-dev libpulse-dev
  gettext libfftw3-dev libjson-glib-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  pulseaudio pulseaudio-utils xvfb xauth sox locales
  python3 valgrind libsmf-dev python3-mido libsoxr-dev
  xdotool imagemagick x11-utils libgl1-mesa-dri mesa-utils
  desktop-file-utils appstream shared-mime-info libglib2.0-bin
  libjack-jackd2-dev jackd2 python3-jack-client python3-numpy
  lv2-dev liblilv-dev lilv-utils jalv sordi
)

if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
else
  SUDO=(sudo)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # jackd2 asks whether to raise the realtime limits; the tests run JACK
  # without realtime, so the answer is no, given before it can ask.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | "${SUDO[@]}" debconf-set-selections
  "${SUDO[@]}" apt-get update -qq
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A locale with a decimal comma, for the tests of number parsing in old documents.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  if ! grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'de_DE.UTF-8 UTF-8' | "${SUDO[@]}" tee -a /etc/locale.gen >/dev/null
  fi
  "${SUDO[@]}" locale-gen >/dev/null
fi
