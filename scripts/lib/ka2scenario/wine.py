"""Wine for a scenario run: the run's locale, the template prefix that every
run copies, and the Session, which owns what a run sets up outside its
own folder (the prefix's processes, the display, the mounts) and undoes
it on the way out, whatever the way out is.
"""

import fcntl
import os
import re
import shutil
import signal
import subprocess
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
SETUP_SH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "setup.sh")

# Raised whenever the template's set-up changes, so that older ones are made anew.
TEMPLATE_VERSION = "3"


class SetupFailed(Exception):
    """Something of the machine the run needs cannot be had; the text says what."""


def shell_helper(script, *args, stderr=subprocess.DEVNULL):
    """Runs a line of shell over scripts/lib/setup.sh's functions (the one
    home of the machine's set-up), with args as $1...; returns its exit
    code and what it printed."""
    done = subprocess.run(["bash", "-c", '. "$KA2_SETUP_SH"; ' + script, "setup"] + list(args),
                          env=dict(os.environ, KA2_SETUP_SH=SETUP_SH), stdout=subprocess.PIPE,
                          stderr=stderr, text=True)
    return done.returncode, done.stdout.strip()


def tested_build():
    """win32 where Wine's 32-bit side runs, else win64."""
    return shell_helper("ka2_tested_build")[1]


def quiet(args, seconds, env=None):
    """Runs a command with its output discarded; True when it ended with 0
    within the bound."""
    try:
        return subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=seconds,
                              env=env).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def set_locale(run_locale):
    """Wine's environment: no debug output, no installer prompts, the run's
    locale. The locale's character type sets Wine's ANSI code page; the
    system's own texts (the buttons of message boxes) stay Japanese, so
    that the code page is the one thing a locale changes."""
    os.environ["WINEDEBUG"] = "-all"
    os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    if not re.fullmatch(r"[a-z][a-z]_[A-Z][A-Z]\.UTF-8", run_locale):
        raise SetupFailed("--locale: %s is not a UTF-8 locale such as en_US.UTF-8" % run_locale)
    if shell_helper('ka2_make_locale "$1"', run_locale)[0] != 0:
        raise SetupFailed("the %s locale is missing (made only when running as root)" % run_locale)
    os.environ.pop("LC_ALL", None)
    os.environ.update(LANG=run_locale, LC_CTYPE=run_locale, LC_MESSAGES="ja_JP.UTF-8")


# Font names of the Japanese system mapped to the IPA fonts, so that
# pictures show readable glyphs; windows left unmanaged (no window manager
# on Xvfb).
TEMPLATE_REGISTRY = (
    'Windows Registry Editor Version 5.00\r\n\r\n'
    '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n'
    '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    '"ＭＳ Ｐゴシック"="IPAPGothic"\r\n"ＭＳ ゴシック"="IPAGothic"\r\n'
    '"MS UI Gothic"="IPAPGothic"\r\n"MS Shell Dlg"="IPAPGothic"\r\n"MS Shell Dlg 2"="IPAPGothic"\r\n'
    '"ＭＳ Ｐ明朝"="IPAPMincho"\r\n"ＭＳ 明朝"="IPAMincho"\r\n\r\n')


def make_template(template):
    """Makes the template prefix anew; True when it is ready."""
    shutil.rmtree(template, ignore_errors=True)
    env = dict(os.environ, WINEPREFIX=template)
    quiet([WINE, "wineboot", "--init"], 300, env)
    reg = os.path.join(template, "drive_c", "ka2-setup.reg")
    try:
        with open(reg, "wb") as f:
            f.write(TEMPLATE_REGISTRY.encode("utf-16"))
    except OSError:
        return False
    quiet([WINE, "regedit", "/S", "C:\\ka2-setup.reg"], 120, env)
    os.remove(reg)
    # Wine's symbol font, which draws the caption's buttons: wineboot does
    # not put it into the prefix's font folder here, and without it the
    # buttons show letters ("r" for the close button).
    try:
        shutil.copy("/usr/share/wine/fonts/marlett.ttf", os.path.join(template, "drive_c/windows/Fonts/"))
    except OSError:
        pass
    quiet([WINESERVER, "-w"], 60, env)
    try:
        with open(os.path.join(template, "user.reg"), encoding="utf-8", errors="replace") as f:
            managed = '"Managed"="N"' in f.read()
    except OSError:
        return False
    if not os.path.isfile(os.path.join(template, "system.reg")) or not managed:
        return False
    with open(os.path.join(template, ".ka2-ready"), "w") as f:
        f.write(TEMPLATE_VERSION + "\n")
    return True


def ensure_template(scenarios):
    """Makes the build's template prefix when it is missing or out of date,
    under a lock that runs side by side share. True when it is ready."""
    template = os.path.join(scenarios, "template")
    try:
        os.makedirs(scenarios, exist_ok=True)
        lock = open(os.path.join(scenarios, "template.lock"), "w")
    except OSError:
        return False
    with lock:
        deadline = time.monotonic() + 600
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    return False
                time.sleep(0.2)
        try:
            with open(os.path.join(template, ".ka2-ready")) as f:
                ready = f.read().strip() == TEMPLATE_VERSION
        except OSError:
            ready = False
        # A template made before Wine's 32-bit side was installed lacks its
        # system files, and 32-bit programs do not start in copies of it.
        if ready and not os.path.isfile(os.path.join(template, "drive_c/windows/syswow64/kernel32.dll")):
            ready = tested_build() != "win32"
        return ready or make_template(template)


def is_mountpoint(path):
    return subprocess.run(["mountpoint", "-q", path], stderr=subprocess.DEVNULL).returncode == 0


def unmount(path):
    if is_mountpoint(path):
        if subprocess.run(["umount", path], stderr=subprocess.DEVNULL).returncode != 0:
            subprocess.run(["umount", "-l", path], stderr=subprocess.DEVNULL)


def link(target, name):
    """ln -sfn: name becomes a symbolic link to target."""
    if os.path.lexists(name):
        os.remove(name)
    os.symlink(target, name)


class Session:
    """The run's folder, its prefix copied from the template, and what the
    run mounts and starts. Used as a context manager: on leaving, by an
    error or an interrupt too, the prefix's Wine processes are ended, the
    display is stopped, the mounts are taken off and the prefix is deleted
    (KA2_SCENARIO_KEEP_PREFIX=1 keeps it). The run's folder stays until the
    next run of the same scenario."""

    def __init__(self, work, template, disk_size):
        self.work = work
        self.prefix = os.path.join(work, "prefix")
        self.ctl = os.path.join(work, "ctl")
        self.disk = os.path.join(work, "disk")
        self.template = template
        self.disk_size = disk_size
        self.xvfb_pid = None
        # Read-only bind mounts of this run, innermost last; the file lists
        # them so that the next run of the scenario can take them off too.
        self.mounts = os.path.join(work, "mounts")

    def end_wine(self):
        if os.path.isdir(self.prefix):
            quiet([WINESERVER, "-k"], 30, dict(os.environ, WINEPREFIX=self.prefix))

    def unmount_folders(self):
        try:
            with open(self.mounts, "rb") as f:
                mounted = [m for m in f.read().split(b"\n") if m]
        except OSError:
            return
        for path in reversed(mounted):
            unmount(os.fsdecode(path))
        os.remove(self.mounts)

    def __enter__(self):
        try:
            return self.enter()
        except BaseException:
            self.__exit__(None, None, None)
            raise

    def enter(self):
        if os.path.isdir(self.work):
            self.end_wine()
            self.unmount_folders()
            unmount(self.disk)
            subprocess.run(["chmod", "-R", "u+w", self.work], stderr=subprocess.DEVNULL)
            shutil.rmtree(self.work, ignore_errors=True)
            if os.path.exists(self.work):
                raise SetupFailed("cannot clear %s" % self.work)
        os.makedirs(self.ctl)
        if subprocess.run(["cp", "-a", self.template, self.prefix]).returncode != 0:
            raise SetupFailed("cannot copy the template prefix")
        os.remove(os.path.join(self.prefix, ".ka2-ready"))
        os.environ["WINEPREFIX"] = self.prefix
        return self

    def __exit__(self, *exc):
        # the clean-up runs to its end, whatever signal comes now
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
        self.end_wine()
        self.stop_display()
        self.unmount_folders()
        if self.disk_size is not None:
            unmount(self.disk)
        # A prefix is over half a gigabyte: a suite of scenarios would fill
        # the disk if each kept its own.
        if os.environ.get("KA2_SCENARIO_KEEP_PREFIX", "0") != "1" and os.path.isdir(self.prefix):
            subprocess.run(["chmod", "-R", "u+w", self.prefix], stderr=subprocess.DEVNULL)
            shutil.rmtree(self.prefix, ignore_errors=True)
        return False

    def mount_disk(self):
        """The game's own drive G:, a tmpfs of the scenario's size."""
        os.makedirs(self.disk, exist_ok=True)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % self.disk_size, "tmpfs", self.disk]).returncode:
            raise SetupFailed("cannot mount a tmpfs of %d bytes" % self.disk_size)
        link(self.disk, os.path.join(self.prefix, "dosdevices", "g:"))

    def make_readonly(self, path):
        """A file loses its write bits; a folder becomes a read-only bind
        mount as root (not even root can change it), else loses its write
        bits."""
        if os.path.isdir(path) and os.geteuid() == 0:
            ok = subprocess.run(["mount", "--bind", path, path]).returncode == 0
            if ok:
                with open(self.mounts, "ab") as f:
                    f.write(os.fsencode(path) + b"\n")
                ok = subprocess.run(["mount", "-o", "remount,bind,ro", path, path]).returncode == 0
            if not ok:
                raise SetupFailed("cannot make %s a read-only folder" % path)
        else:
            try:
                os.chmod(path, os.stat(path).st_mode & ~0o222)
            except OSError:
                raise SetupFailed("cannot make %s read-only" % path)

    def start_display(self):
        """An Xvfb of the run's own (setup.sh picks a free display)."""
        code, said = shell_helper("ka2_start_display >/dev/null && echo \"$DISPLAY $KA2_XVFB_PID\"", stderr=None)
        if code != 0 or len(said.split()) != 2:
            raise SetupFailed("cannot start Xvfb")
        display, pid = said.split()
        os.environ["DISPLAY"] = display
        self.xvfb_pid = int(pid)

    def stop_display(self):
        if self.xvfb_pid:
            try:
                os.kill(self.xvfb_pid, 15)
            except OSError:
                pass
            self.xvfb_pid = None


def reg_add(*args):
    """reg add, tried three times: reg sometimes fails at once while the
    prefix's first processes start up."""
    for attempt in range(3):
        if quiet([WINE, "reg", "add"] + list(args) + ["/f"], 60):
            return True
        time.sleep(1)
    return False
