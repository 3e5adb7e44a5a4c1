# Sourced by scripts/run and scripts/test: installs the Debian packages that are missing.
# Quick when everything is there (one dpkg query); runs apt-get non-interactively otherwise.

vardex_need_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# What building and running the program needs (libsqlite3 keeps the check history; Qt's
# Linguist tools compile the window's English translation, and Qt's own translations give its
# file dialog and buttons the window's language; cpp-httplib is the tests' HTTP client for
# Prometheus's query API; c-ares asks DNS monitors' questions; libcanberra plays the alarm's
# sounds from the freedesktop sound theme).
VARDEX_BUILD_PACKAGES=(build-essential cmake pkg-config qt6-base-dev libgl-dev libssl-dev libssl3 fonts-dejavu-core
  libsqlite3-dev libcpp-httplib-dev qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
  libc-ares-dev libcanberra-dev sound-theme-freedesktop)
# What the test suite needs besides: GoogleTest, a JSON reader for vardex-check's output, a
# real nginx, the openssl tool for test certificates, iproute2 for network namespaces,
# setcap for the install test, a virtual X server with a tray host and a mouse driver for
# the real-desktop tray test, a private session bus for the D-Bus tray and notification
# tests (with Debian's python3 D-Bus bindings for the notification test's stand-in service),
# the desktop-entry validator and the formatter, Prometheus (its server and promtool) for
# the metrics tests, the time-zone data for the local-time tests, a headless browser for the
# status page, and for the package test lintian (dpkg-dev's dpkg-shlibdeps and systemd's
# systemd-analyze come with them), and a DNS server for the DNS monitor tests (dnsmasq-base:
# the program alone, without a service that would start on port 53), and a PulseAudio server
# with its recorder and libcanberra's backend for it, for the test that hears the alarm, and
# for the Wayland window test a compositor that runs headless (sway), its screenshot tool
# and Qt's Wayland platform.
VARDEX_TEST_PACKAGES=(libgtest-dev nlohmann-json3-dev nginx-light openssl iproute2 libcap2-bin procps xvfb xauth trayer xdotool
  dbus-daemon python3 python3-dbus python3-gi desktop-file-utils clang-format prometheus tzdata chromium
  lintian dpkg-dev systemd adduser
  dnsmasq-base pulseaudio pulseaudio-utils libcanberra-pulse sway grim qt6-wayland)
