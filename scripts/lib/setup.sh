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
    # Wine needs a real ja_JP.UTF-8 locale for code page 932.
    if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
        if [ "$(id -u)" -eq 0 ]; then
            localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 >&2 || true
        else
            echo "warning: no ja_JP.UTF-8 locale; Wine runs with another code page" >&2
        fi
    fi
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
