# Shared by the project's commands: installs what the build needs and builds one preset.
# Sourced, not run.

# Debian 12 packages the build, the tests and the benchmarks need.
QUORBEL_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-multimedia-dev qt6-declarative-dev
    qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-templates
    qml6-module-qtquick-layouts qml6-module-qtquick-window qml6-module-qtqml-workerscript
    libqt6svg6
    rapidjson-dev libglib2.0-dev libsndfile1-dev libpulse-dev libsoxr-dev libebur128-dev
    python3 strace util-linux
    pulseaudio pulseaudio-utils sox ffmpeg
    xvfb xdotool imagemagick
    librsvg2-bin desktop-file-utils appstream man-db
)

# What scripts/fuzz needs on top: clang and its libFuzzer. The test run does without them.
QUORBEL_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)

# Installs the packages that are missing, and only those; apt's lists are refreshed once,
# and only when something has to be installed.
ensure_packages() {
    local missing=() package
    for package in "${QUORBEL_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
        "${missing[@]}" >/dev/null
}

# Configures (once) and builds a preset: dev, asan, release or fuzz. Further arguments go to
# the build, such as --target NAME... to build only those.
build_preset() {
    local preset=$1
    shift
    if [ ! -f "build/$preset/build.ninja" ]; then
        cmake --preset "$preset" >/dev/null
    fi
    cmake --build --preset "$preset" "$@"
}
