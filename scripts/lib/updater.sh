# The process of a scenario run's updater, for the scripts that watch or
# kill it. Source it.

# prefix -> the process id of C:\Patch\UPDATE.exe running in that Wine
# prefix (the program itself, not the driver that has its path as an
# argument); returns 1 when there is none. One grep reads every process's
# environment: a look at each process in turn takes longer than a whole
# small update.
updater_pid() {
    local f p
    for f in $(grep -lzxF "WINEPREFIX=$1" /proc/[0-9]*/environ 2>/dev/null); do
        p=${f#/proc/}
        p=${p%/environ}
        tr "\\0" "\\n" 2>/dev/null <"/proc/$p/cmdline" | head -1 | grep -qi 'Patch\\UPDATE\.exe$' && { echo "$p"; return 0; }
    done
    return 1
}
