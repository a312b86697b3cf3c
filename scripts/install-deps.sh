#!/usr/bin/env bash
# Installs every Debian package the build, the program and the tests need.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
PKGS="build-essential cmake pkg-config openssl qt6-base-dev libpcsclite-dev pcscd \
vsmartcard-vpcd softhsm2 opensc libp11-kit-dev libssl-dev libcurl4-openssl-dev libldap-dev \
slapd ldap-utils libzip-dev zipcmp zipmerge ziptool rapidjson-dev libboost-regex-dev \
libboost-filesystem-dev libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth imagemagick \
fonts-dejavu-core trayer qt6-translations-l10n xdotool x11-utils clang"
# Skip apt entirely when everything is already there (second CI run, developer machines).
missing=0
for p in $PKGS; do dpkg -s "$p" >/dev/null 2>&1 || { missing=1; break; }; done
if [ "$missing" -eq 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  # slapd asks debconf questions; noninteractive keeps its defaults and we never use its
  # system instance (tests run their own on 127.0.0.1).
  $SUDO apt-get install -y -q --no-install-recommends $PKGS
fi
