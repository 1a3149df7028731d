# Shared by the scripts: Debian packages the project needs, installed when missing.
# shellcheck shell=bash

STATION_PACKAGES=(
  cmake ninja-build g++ pkg-config clang-format
  libspdlog-dev libfmt-dev libprotobuf-dev protobuf-compiler
  libpaho-mqtt-dev libpaho-mqttpp-dev rapidjson-dev libsystemd-dev
  libssl-dev libgtest-dev libgmock-dev mosquitto mosquitto-clients openssl
  python3-matplotlib python3-protobuf python3-jsonschema python3-yaml faketime
)
# The fuzz build (scripts/fuzz): clang with its libFuzzer and sanitizer runtimes.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# configure_and_build DIR [extra cmake args...]
configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$(nproc)"
}
