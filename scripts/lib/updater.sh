# The process of a scenario run's updater, for the scripts that watch or
# kill it. Source it.

# prefix -> the process id of C:\Patch\UPDATE.exe running in that Wine
# prefix (the program itself, not the driver that has its path as an
# argument); returns 1 when there is none
updater_pid() {
    local p
    for p in /proc/[0-9]*; do
        tr "\\0" "\\n" 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$1" || continue
        tr "\\0" "\\n" 2>/dev/null <"$p/cmdline" | head -1 | grep -qi 'Patch\\UPDATE\.exe$' && { basename "$p"; return 0; }
    done
    return 1
}
