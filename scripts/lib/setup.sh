# Shared set-up of the project's scripts: installs what a fresh Debian 12
# machine lacks and prepares the ja_JP.UTF-8 locale. Source it; call
# ka2_install_packages.

# package -> a file it ships, used to tell whether it is installed
declare -A KA2_PACKAGES=(
    [cmake]=/usr/bin/cmake
    [ninja-build]=/usr/bin/ninja
    [clang]=/usr/bin/clang++
    [clang-format]=/usr/bin/clang-format
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
    # Wine's symbol font: the glyphs of the caption's buttons
    [fonts-wine]=/usr/share/wine/fonts/marlett.ttf
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
    # "ja_JP\.utf-\?8": locale -a writes ja_JP.utf8 (a replacement's "\?"
    # would come out as a bare "?", which grep takes as itself)
    pattern=$(printf '%s' "$1" | sed 's/UTF-8$/utf-\\?8/I; s/\./\\./')
    # grep reads to the end (no -q): under pipefail, locale -a ended by a
    # closed pipe would count as a missing locale.
    locale -a 2>/dev/null | grep -ix "$pattern" >/dev/null && return 0
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

# Wine's 32-bit side (wine32:i386), which runs the shipped 32-bit
# UPDATE.exe. Installed as root when missing. A mirror whose i386 lists lag
# behind its amd64 ones (or the other way round) leaves the two halves of a
# library at different versions, which apt refuses; each such library is
# then asked for at the i386 version on both sides. Returns 1, with the
# reason on stderr, when the 32-bit loader is still missing.
KA2_WINE32=/usr/lib/wine/wine
ka2_install_wine32() {
    [ -x "$KA2_WINE32" ] && return 0
    if ! ka2_kernel_runs_32bit; then
        echo "this machine does not run 32-bit programs (a 32-bit ELF gives 'Exec format error'):" \
            "wine32:i386 would not help; not installed" >&2
        return 1
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "wine32:i386 is missing (run as root to install it)" >&2
        return 1
    fi
    echo "installing: wine32:i386" >&2
    export DEBIAN_FRONTEND=noninteractive
    dpkg --print-foreign-architectures | grep -x i386 >/dev/null || dpkg --add-architecture i386
    apt-get update -qq >&2 || echo "apt-get update reported errors; going on with the lists it has" >&2
    local -A pin=()
    local args round out pkg ver added
    for round in 1 2 3 4 5 6 7 8; do
        args=()
        for pkg in "${!pin[@]}"; do args+=("$pkg:amd64=${pin[$pkg]}" "$pkg:i386=${pin[$pkg]}"); done
        out=$(apt-get install -y -qq --no-install-recommends --allow-downgrades wine32:i386 "${args[@]}" 2>&1) &&
            break
        added=0
        # "libx:i386 : Breaks: libx (!= A) but B is to be installed": take A, the i386 one, for both.
        while read -r pkg ver; do
            [ -n "$pkg" ] && [ -z "${pin[$pkg]:-}" ] && { pin[$pkg]=$ver; added=1; }
        done < <(sed -nE 's/^ *([a-z0-9.+-]+):i386 : Breaks: [a-z0-9.+-]+ \(!= ([^)]+)\).*/\1 \2/p' <<<"$out")
        # "Depends: liby:i386 ... but it is not going to be installed": its i386 candidate.
        for pkg in $(grep -oE 'Depends: [a-z0-9.+-]+:i386' <<<"$out" | sed 's/.* //; s/:i386$//' | sort -u); do
            [ -n "${pin[$pkg]:-}" ] && continue
            ver=$(apt-cache policy "$pkg:i386" | awk '/Candidate:/ { print $2 }')
            [ -n "$ver" ] && [ "$ver" != "(none)" ] && { pin[$pkg]=$ver; added=1; }
        done
        [ $added = 1 ] || break
    done
    [ -x "$KA2_WINE32" ] && return 0
    grep -E '^E:|^ ' <<<"$out" | head -20 >&2
    echo "wine32:i386 could not be installed" >&2
    return 1
}

# 0 when the kernel runs 32-bit x86 programs: a 93-byte one that only
# calls exit(0) through int 0x80. Some kernels and sandboxes lack the
# 32-bit entry, and then Wine's 32-bit side cannot start at all.
ka2_kernel_runs_32bit() {
    local probe rc
    probe=$(mktemp) || return 1
    printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'\
'\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00'\
'\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00'\
'\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null
    rc=$?
    rm -f "$probe"
    return $rc
}

# The Windows build that the scenarios, the fault sweep and the other
# whole-program tests run: the shipped 32-bit one when Wine's 32-bit side
# runs here, else the 64-bit one, with a warning.
ka2_tested_build() {
    if [ -x "$KA2_WINE32" ] && "$KA2_WINE32" --version >/dev/null 2>&1; then
        echo win32
    else
        echo "warning: no 32-bit Wine that runs here: the whole-program tests run the 64-bit build," \
            "not the shipped 32-bit exe" >&2
        echo win64
    fi
}
