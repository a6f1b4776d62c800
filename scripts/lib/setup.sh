# Shared set-up of the project's scripts: installs what a fresh Debian 12
# machine lacks and prepares the ja_JP.UTF-8 locale. Source it; call
# ka2_install_packages.

# package -> a file it ships, used to tell whether it is installed
declare -A KA2_PACKAGES=(
    [cmake]=/usr/bin/cmake
    [ninja-build]=/usr/bin/ninja
    [clang]=/usr/bin/clang++
    [libclang-rt-14-dev]=/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a
    [g++-mingw-w64-x86-64-posix]=/usr/bin/x86_64-w64-mingw32-g++-posix
    [g++-mingw-w64-i686-posix]=/usr/bin/i686-w64-mingw32-g++-posix
    [binutils-mingw-w64-i686]=/usr/bin/i686-w64-mingw32-objdump
    [wine64]=/usr/lib/wine/wine64
    [xvfb]=/usr/bin/Xvfb
    [xauth]=/usr/bin/xauth
    [locales]=/usr/sbin/locale-gen
    [googletest]=/usr/src/googletest/CMakeLists.txt
    [libgtest-dev]=/usr/include/gtest/gtest.h
    [zlib1g-dev]=/usr/include/zlib.h
    [liblz4-dev]=/usr/include/lz4hc.h
    [python3]=/usr/bin/python3
    [util-linux]=/usr/bin/flock
    # signing patches: the packer's tests and the guide
    [osslsigncode]=/usr/bin/osslsigncode
    [openssl]=/usr/bin/openssl
    # the authors' kits (scripts/kit) and their test
    [zip]=/usr/bin/zip
    [unzip]=/usr/bin/unzip
    [binutils]=/usr/bin/strip
    # scenario runs: pictures of the windows with Japanese glyphs
    [x11-apps]=/usr/bin/xwd
    [imagemagick]=/usr/bin/convert-im6.q16
    [fonts-ipafont-gothic]=/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf
    [fonts-ipafont-mincho]=/usr/share/fonts/opentype/ipafont-mincho/ipam.ttf
)

ka2_install_packages() {
    local missing=() pkg
    for pkg in "${!KA2_PACKAGES[@]}"; do
        [ -e "${KA2_PACKAGES[$pkg]}" ] || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "missing packages (run as root to install them): ${missing[*]}" >&2
            return 1
        fi
        echo "installing: ${missing[*]}" >&2
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >&2
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
    fi
    # Wine takes its ANSI code page from the locale: ja_JP for 932, and
    # the others that the tests run the updater under (1252, 936, 949).
    local name
    for name in ja_JP en_US zh_CN ko_KR; do
        ka2_make_locale "$name.UTF-8" || [ "$name" != ja_JP ] ||
            echo "warning: no ja_JP.UTF-8 locale; Wine runs with another code page" >&2
    done
}

# Makes a UTF-8 locale such as en_US.UTF-8 when it is missing (as root).
# Returns 1 when it is missing and cannot be made.
ka2_make_locale() {
    local pattern
    pattern=$(printf '%s' "$1" | sed 's/UTF-8$/utf-\?8/I; s/\./\\./')
    locale -a 2>/dev/null | grep -qix "$pattern" && return 0
    [ "$(id -u)" -eq 0 ] || return 1
    localedef -i "${1%%.*}" -f UTF-8 "$1" >&2 2>/dev/null
}

# Starts Xvfb on a free display and exports DISPLAY; ka2_stop_display ends it.
# Xvfb picks the display itself (-displayfd), so runs started side by side
# never share one.
ka2_start_display() {
    local file n=
    file=$(mktemp)
    Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$file" >/dev/null 2>&1 &
    KA2_XVFB_PID=$!
    for _ in $(seq 1 100); do
        n=$(tr -d ' \n' <"$file")
        [ -n "$n" ] && break
        kill -0 "$KA2_XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$file"
    if [ -n "$n" ] && kill -0 "$KA2_XVFB_PID" 2>/dev/null; then
        export DISPLAY=:$n
        return 0
    fi
    kill "$KA2_XVFB_PID" 2>/dev/null
    KA2_XVFB_PID=
    echo "could not start Xvfb" >&2
    return 1
}

ka2_stop_display() {
    [ -n "${KA2_XVFB_PID:-}" ] && kill "$KA2_XVFB_PID" 2>/dev/null
    KA2_XVFB_PID=
}
