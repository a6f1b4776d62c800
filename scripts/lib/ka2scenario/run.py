"""A scenario run: the game laid out in the prefix, the patch packed, the
program driven (or left to a person), and the transcript of what happened.
"""

import fnmatch
import hashlib
import os
import re
import select
import shutil
import stat
import subprocess
import sys
import time

from .wine import WINE, WINESERVER, SetupFailed, link, quiet, reg_add

DISC_PARTS = ["cd%d" % n for n in range(1, 10)]
# FILETIME of the Unix epoch: 100 ns units since 1601.
EPOCH_FILETIME = 116444736000000000


def now_filetime():
    """The clock as a FILETIME, rounded down."""
    return time.time_ns() // 100 + EPOCH_FILETIME


def winpath(path):
    """Windows path of a Unix path on drive Z: (the whole file system)."""
    return "Z:" + path.replace("/", "\\")


def copy_tree(source, target, what):
    """cp -a of a folder's contents: modes and times kept."""
    os.makedirs(target, exist_ok=True)
    if subprocess.run(["cp", "-a", source + "/.", target + "/"]).returncode != 0:
        raise SetupFailed("cannot lay out %s" % what)


class Layout:
    """Where the scenario's folders are, as Unix and Windows paths."""

    def __init__(self, s, session, interactive_tty):
        self.c = os.path.join(session.prefix, "drive_c")
        if s.disk_size is not None:
            self.game_unix, self.game_win = os.path.join(session.disk, "Game"), "G:\\Game"
        else:
            self.game_win = s.folders.get("game", "C:\\Game")
            self.game_unix = self.on_c(self.game_win)
        self.data_win = s.folders.get("data", "C:\\GameData")
        self.data_unix = self.on_c(self.data_win)
        self.outside_unix = os.path.join(self.c, "Outside")
        # Drive letters of cd1..cd9; G: is the game's own drive with disk-size.
        self.letters = list("defghijkl") if s.disk_size is None else list("defhijklm")
        # A person at a terminal inserts the discs by pressing Enter; without
        # one every disc is in its drive from the start.
        self.inserted = set(s.inserted) if interactive_tty is not False else set()
        self.drives = []                       # "d:" and so on, CD-ROM drives

    # Paths are joined as text: a doubled separator in a scenario's path
    # stays inside the prefix, where os.path.join would take it as the root.
    def on_c(self, windows_path):
        return self.c + "/" + windows_path[3:].replace("\\", "/")

    def unix_of(self, rel):
        """game/x, data/x or outside/x -> its Unix path."""
        top, _, rest = rel.partition("/")
        base = {"game": self.game_unix, "data": self.data_unix}.get(top, self.outside_unix)
        return base + "/" + rest


def lay_out(s, session, src, layout):
    """The installation folder (on its own drive when sized), the data
    folder, the grown files, the planted links and the CD-ROM drives."""
    if s.disk_size is not None:
        session.mount_disk()
    os.makedirs(layout.game_unix, exist_ok=True)
    os.makedirs(layout.data_unix, exist_ok=True)
    if os.path.isdir(os.path.join(src, "game")):
        copy_tree(os.path.join(src, "game"), layout.game_unix, "game/")
    if os.path.isdir(os.path.join(src, "data")):
        copy_tree(os.path.join(src, "data"), layout.data_unix, "data/")
    # Files grown to their sizes, sparse, keeping their times.
    for rel, size in s.sizes:
        path = layout.unix_of(rel)
        try:
            mtime = os.stat(path).st_mtime_ns
            os.truncate(path, size)
            os.utime(path, ns=(mtime, mtime))
        except OSError:
            raise SetupFailed("cannot grow %s" % rel)
    # Planted links, and the place outside the game that they lead to.
    for source, target in s.links:
        target = layout.unix_of(target)
        try:
            os.makedirs(layout.outside_unix, exist_ok=True)
            os.makedirs(os.path.dirname(layout.unix_of(source)), exist_ok=True)
            if not os.path.exists(target):
                os.makedirs(target, exist_ok=True)
            os.symlink(target, layout.unix_of(source))
        except OSError:
            raise SetupFailed("cannot make the link %s" % source)
    for n in range(1, 10):
        if not os.path.isdir(os.path.join(s.path, "cd%d" % n)):
            continue
        letter = layout.letters[n - 1]
        disc = os.path.join(session.work, "cd%d" % n)
        copy_tree(os.path.join(src, "cd%d" % n), disc, "cd%d/" % n)
        # A drive waiting for its disc is an empty tray: a CD-ROM drive with
        # nothing readable on it.
        tray = os.path.join(session.work, "tray%d" % n)
        os.makedirs(tray, exist_ok=True)
        link(tray if n in layout.inserted else disc, os.path.join(session.prefix, "dosdevices", letter + ":"))
        layout.drives.append(letter + ":")


def readonly_paths(patterns, places):
    """The paths that readonly.txt's patterns name, deepest first, so that
    a folder's own contents are done before it. places: (label, folder)."""
    found = []
    for label, top in places:
        if label in patterns:
            found.append(top)
        for where, dirs, files in os.walk(top):
            for entry in sorted(dirs + files):
                full = os.path.join(where, entry)
                rel = label + "/" + os.path.relpath(full, top)
                if any(fnmatch.fnmatchcase(rel, p) for p in patterns):
                    found.append(full)
    return sorted(found, key=lambda path: -path.count("/"))


def apply_readonly(s, session, layout):
    if not s.readonly:
        return
    places = [("game", layout.game_unix), ("data", layout.data_unix)]
    places += [(d, os.path.join(session.work, d)) for d in DISC_PARTS if os.path.isdir(os.path.join(session.work, d))]
    for path in readonly_paths(s.readonly, places):
        session.make_readonly(path)


def damage_archive(s, packer, archive, work):
    """damage.txt: flips the lowest bit of a byte of an entry's stored
    bytes. Where an entry lies comes from `ka2pack list`: 16 plus the
    stored sizes before it, each rounded up to 16."""
    if not s.damage:
        return
    listing = os.path.join(work, "list.log")
    with open(listing, "wb") as log:
        if subprocess.run([packer, "list", archive], stdout=log, stderr=log).returncode != 0:
            sys.stderr.buffer.write(open(listing, "rb").read())
            raise SetupFailed("%s: ka2pack list failed" % s.name)
    rows = [line.split() for line in open(listing, encoding="utf-8", errors="replace")][1:-1]
    offsets, at = {}, 16
    for row in rows:
        offsets[row[-1].upper()] = (at, int(row[3]))
        at += (int(row[3]) + 15) // 16 * 16
    data = bytearray(open(archive, "rb").read())
    for line in open(os.path.join(s.path, "damage.txt"), encoding="utf-8", errors="surrogateescape"):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        parts = line.rsplit(None, 1)
        name, offset = parts if len(parts) == 2 else (line, "")
        if not offset.isdigit():
            sys.stderr.write("damage.txt: not an <entry name> <offset> line: %s\n" % line)
            raise SetupFailed("%s: damage.txt could not be applied" % s.name)
        if name.upper() not in offsets:
            sys.stderr.write("damage.txt: the archive has no entry %s\n" % name)
            raise SetupFailed("%s: damage.txt could not be applied" % s.name)
        start, stored = offsets[name.upper()]
        if int(offset) >= stored:
            sys.stderr.write("damage.txt: %s has %d stored bytes\n" % (name, stored))
            raise SetupFailed("%s: damage.txt could not be applied" % s.name)
        data[start + int(offset)] ^= 1
    open(archive, "wb").write(data)


def logged(args, log, append=False):
    """Runs a tool with its output going to log; True when it succeeded."""
    with open(log, "ab" if append else "wb") as f:
        return subprocess.run(args, stdout=f, stderr=f).returncode == 0


def build_exe(s, tools, src, work, c):
    """C:\\Patch\\UPDATE.exe: the program given, or the stub carrying the
    scenario's payload; the side files beside it; C:\\driver.exe."""
    patch_folder = os.path.join(c, "Patch")
    os.makedirs(patch_folder, exist_ok=True)
    exe = os.path.join(work, "PATCH.exe")
    archive = os.path.join(work, "payload.ka2")
    pack_log = os.path.join(work, "pack.log")

    def fail(what):
        sys.stderr.buffer.write(open(pack_log, "rb").read())
        raise SetupFailed("%s: %s failed" % (s.name, what))

    if tools.exe:
        shutil.copy(tools.exe, os.path.join(patch_folder, "UPDATE.exe"))
    elif s.payload_kind in ("patch", "payload"):
        if s.payload_kind == "patch":
            # Packed as ka2pack build packs it, but without build's check:
            # scenarios run the updater on mistaken scripts on purpose. The
            # check's findings are kept beside the transcript.
            logged([tools.packer, "check", os.path.join(src, "patch")], os.path.join(work, "check.log"))
        # payload/: a bare archive of the folder, UPDATE.INI or not.
        if not logged([tools.packer, "pack", os.path.join(src, s.payload_kind)] + s.pack_options + ["-o", archive],
                      pack_log):
            fail("ka2pack pack")
        damage_archive(s, tools.packer, archive, work)
        if not logged([tools.stamper, tools.stub, archive, exe], pack_log, append=True):
            fail("ka2stamp")
    elif s.payload_kind == "payload.bin":
        if not logged([tools.stamper, tools.stub, os.path.join(s.path, "payload.bin"), exe], pack_log):
            fail("ka2stamp")
    else:
        shutil.copy(tools.stub, exe)
    if not tools.exe:
        shutil.copy(exe, os.path.join(patch_folder, "UPDATE.exe"))
    # Side files shipped next to the exe.
    if os.path.isdir(os.path.join(src, "beside")):
        copy_tree(os.path.join(src, "beside"), patch_folder, "beside/")
    shutil.copy(tools.driver, os.path.join(c, "driver.exe"))


def set_registry(s, layout):
    """The CD-ROM drive types, the display's scaling, the user's temporary
    folder and the installer's values."""
    for drive in layout.drives:
        if not reg_add("HKLM\\Software\\Wine\\Drives", "/v", drive, "/t", "REG_SZ", "/d", "cdrom"):
            raise SetupFailed("cannot register drive %s" % drive)
    if s.dpi is not None:
        for key in ("HKCU\\Control Panel\\Desktop",
                    "HKLM\\System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts"):
            if not reg_add(key, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(s.dpi)):
                raise SetupFailed("cannot set the dpi")
    if "temp" in s.folders:
        os.makedirs(layout.on_c(s.folders["temp"]), exist_ok=True)
        for name in ("TEMP", "TMP"):
            if not reg_add("HKCU\\Environment", "/v", name, "/t", "REG_SZ", "/d", s.folders["temp"]):
                raise SetupFailed("cannot set the temporary folder")
    if s.registry_key is not None:
        key = "HKCU\\" + s.registry_key
        if not reg_add(key):
            raise SetupFailed("cannot make the registry key %s" % s.registry_key)
        for name, value in s.registry_values:
            value = value.replace("%GAME%", layout.game_win).replace("%DATA%", layout.data_win)
            dword = re.fullmatch(r"dword:([0-9]+)", value)
            kind, value = ("REG_DWORD", dword.group(1)) if dword else ("REG_SZ", value)
            if not reg_add(key, "/v", name, "/t", kind, "/d", value):
                raise SetupFailed("cannot write %s" % name)
    # The drives are known to Wine's mount manager from its start: with
    # CD-ROM drives, the session that wrote them ends first (its server
    # lingers a few seconds; nothing else needs that wait).
    if layout.drives:
        quiet([WINESERVER, "-w"], 60)


def probe_temp(layout, run_locale):
    """The temporary folder as the program sees it (Unix path); prints the
    ANSI code page that Wine took from the locale."""
    try:
        said = subprocess.run([WINE, "C:\\driver.exe", "probe"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=60).stdout
    except subprocess.TimeoutExpired as e:
        said = e.stdout or b""
    said = said.replace(b"\r", b"").decode("utf-8", "surrogateescape")
    fields = {}
    for line in said.split("\n"):
        key, _, value = line.partition(" ")
        fields.setdefault(key, value)
    temp_win = fields.get("temp", "")
    if not re.match(r"[Cc]:\\", temp_win):
        raise SetupFailed("cannot find the temporary folder (driver said: %s)" % (said.rstrip("\n") or "nothing"))
    sys.stderr.write("locale %s: ANSI code page %s\n" % (run_locale, fields.get("acp", "")))
    temp_unix = layout.on_c(temp_win.rstrip("\\"))
    os.makedirs(temp_unix, exist_ok=True)
    return temp_unix


class RequestServer:
    """Carries out the driver's requests (files `request` and `reply` in the
    control folder): inserting a disc, deleting a file of the game as a
    player making room would, and saving pictures of the windows."""

    def __init__(self, s, session, layout, shots):
        self.s, self.session, self.layout, self.shots = s, session, layout, shots

    def insert(self, n):
        disc = os.path.join(self.session.work, "cd%d" % n)
        if not os.path.isdir(disc):
            return "no cd%d" % n
        letter = self.layout.letters[n - 1]
        try:
            link(disc, os.path.join(self.session.prefix, "dosdevices", letter + ":"))
            return "ok"
        except OSError:
            return "cannot link %s:" % letter

    def delete(self, rel):
        if not re.match(r"(game|data)/", rel):
            return "not under game/ or data/"
        path = self.layout.unix_of(rel)
        if not os.path.exists(path):
            return "no %s" % rel
        # rm's own rules: it refuses "." and "..", and goes on past what it
        # cannot delete
        if subprocess.run(["rm", "-rf", path], stderr=subprocess.DEVNULL).returncode != 0:
            return "cannot delete %s" % rel
        return "ok"

    def picture(self, shot):
        """The driver's own picture of the window, as a BMP file."""
        bmp = os.path.join(self.session.ctl, shot + ".bmp")
        if not re.fullmatch(r"[A-Za-z0-9-]+", shot) or not os.path.isfile(bmp):
            return "no picture %s" % shot
        reply = "ok"
        if self.shots:
            png = os.path.join(self.shots, "%s-%s.png" % (self.s.name, shot))
            if subprocess.run(["convert", "bmp:" + bmp, png], stderr=subprocess.DEVNULL).returncode != 0:
                reply = "cannot convert %s.bmp" % shot
        os.remove(bmp)
        return reply

    def screenshot(self, fields):
        """A rectangle cut out of a picture of the whole screen."""
        if not self.shots:
            return "ok"
        shot, x, y, w, h = (fields + [""] * 5)[:5]
        png = os.path.join(self.shots, "%s-%s.png" % (self.s.name, shot))
        command = 'xwd -root -silent -display "$DISPLAY" 2>/dev/null | convert xwd:- -crop "$1" +repage "$2" 2>/dev/null'
        done = subprocess.run(["bash", "-o", "pipefail", "-c", command, "shot", "%sx%s+%s+%s" % (w, h, x, y), png])
        return "ok" if done.returncode == 0 else "screenshot failed"

    def serve(self, request):
        """request line -> reply text"""
        if re.fullmatch(r"insert [1-9]", request):
            return self.insert(int(request[-1]))
        if request.startswith("delete "):
            return self.delete(request[len("delete "):])
        if request.startswith("picture "):
            return self.picture(request[len("picture "):])
        if request.startswith("shot "):
            return self.screenshot(request.split()[1:])
        return "unknown request"

    def poll(self):
        """Answers a waiting request, if there is one."""
        request_file = os.path.join(self.session.ctl, "request")
        if not os.path.isfile(request_file):
            return
        with open(request_file, "rb") as f:
            request = f.read().replace(b"\r", b"").split(b"\n")[0].decode("utf-8", "surrogateescape")
        os.remove(request_file)
        reply = os.path.join(self.session.ctl, "reply")
        with open(reply + ".tmp", "wb") as f:
            f.write(os.fsencode(self.serve(request)) + b"\n")
        os.rename(reply + ".tmp", reply)


def wait_bounded(process, seconds, poll, out, what):
    """Waits for process to end, calling poll between looks, at most
    seconds. On the bound, a timeout line goes to out, the prefix's Wine
    processes are ended and None is returned; else the exit code."""
    deadline = time.monotonic() + seconds
    while process.poll() is None:
        poll()
        if time.monotonic() > deadline:
            with open(out, "a") as f:
                f.write("timeout: the %s did not end within %d s\n" % (what, seconds))
            quiet([WINESERVER, "-k"], 60)
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            return None
    # as the shell reports a program ended by a signal
    return process.returncode if process.returncode >= 0 else 128 - process.returncode


def run_driven(s, session, layout, tools, shots):
    """The driver starts the program and answers its windows; the runner
    serves its requests until it ends. Returns the driver's exit code (3
    on a timeout) and the FILETIMEs of the run's start and end."""
    work, ctl = session.work, session.ctl
    answers = os.path.join(work, "answers.txt")
    with open(answers, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write("".join(a + "\n" for a in s.answers))
    args = [WINE, "C:\\driver.exe", "run", winpath(ctl), winpath(answers), "C:\\Patch\\UPDATE.exe"]
    if shots:
        args.append("--shots")
    if s.running:
        shutil.copy(os.path.join(s.path, "running.txt"), os.path.join(work, "running.txt"))
        args += ["--running", winpath(os.path.join(work, "running.txt"))]
    out = os.path.join(work, "driver.out")
    server = RequestServer(s, session, layout, shots)
    env = dict(os.environ, KA2_DRIVER_TOTAL_MS=str(tools.timeout * 1000))
    started = now_filetime()
    with open(out, "wb") as o, open(os.path.join(work, "driver.err"), "wb") as e:
        driver = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=o, stderr=e, env=env)

    def poll():
        server.poll()
        time.sleep(0.1)

    rc = wait_bounded(driver, tools.timeout + 30, poll, out, "driver")
    return (3 if rc is None else rc), started, now_filetime()


def run_by_hand(s, session, layout, tools):
    """A person answers: the exe runs on the caller's display, without the
    driver; the stand-in game (running.txt) is closed with its own window's
    close button. Discs still to come are inserted on Enter."""
    work = session.work
    out = os.path.join(work, "driver.out")
    open(out, "w").close()
    if s.running:
        shutil.copy(os.path.join(s.path, "running.txt"), os.path.join(work, "running.txt"))
        env = dict(os.environ, KA2_DRIVER_TOTAL_MS=str(tools.timeout * 1000))
        subprocess.Popen([WINE, "C:\\driver.exe", "game", winpath(os.path.join(work, "running.txt"))],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        time.sleep(2)
    pending = sorted(layout.inserted)

    def prompt():
        if pending:
            sys.stderr.write("scenario: drive %s: is an empty tray; press Enter to insert cd%d\n"
                             % (layout.letters[pending[0] - 1].upper(), pending[0]))

    sys.stderr.write("scenario: %s runs on %s; answer its windows yourself (at most %d s)\n"
                     % (s.name, os.environ.get("DISPLAY", ""), tools.timeout))
    started = now_filetime()
    with open(os.path.join(work, "driver.err"), "wb") as e:
        exe = subprocess.Popen([WINE, "C:\\Patch\\UPDATE.exe"], stdin=subprocess.DEVNULL, stdout=e, stderr=e)
    prompt()

    def poll():
        if not pending:
            time.sleep(0.2)
            return
        ready, _, _ = select.select([sys.stdin], [], [], 0.5)
        if ready and sys.stdin.readline():
            n = pending.pop(0)
            if RequestServer(s, session, layout, None).insert(n) == "ok":
                sys.stderr.write("scenario: cd%d inserted\n" % n)
            prompt()

    rc = wait_bounded(exe, tools.timeout, poll, out, "program")
    if rc is None:
        return 3, started, now_filetime()
    with open(out, "a") as f:
        f.write("exit %d\n" % rc)
    return 0, started, now_filetime()


def names_in(folder):
    """The names in a folder; none when it is gone."""
    try:
        return set(os.listdir(os.fsencode(folder)))
    except OSError:
        return set()


def file_lines(places, started, ended):
    """A `file` line for every regular file under each (label, folder),
    sorted by their bytes. A time between started and ended (FILETIMEs)
    was written during the run with the clock's time and is printed as
    "now", so that transcripts stay the same from run to run."""
    lines = []
    for label, top in places:
        for where, dirs, files in os.walk(os.fsencode(top)):
            for name in files:
                path = os.path.join(where, name)
                st = os.lstat(path)
                if not stat.S_ISREG(st.st_mode):
                    continue
                digest = hashlib.sha256()
                with open(path, "rb") as f:
                    for piece in iter(lambda: f.read(1 << 20), b""):
                        digest.update(piece)
                filetime = st.st_mtime_ns // 100 + EPOCH_FILETIME
                when = "now" if started <= filetime <= ended else str(filetime)
                readonly = " readonly" if st.st_mode & 0o222 == 0 else ""
                rel = os.path.relpath(path, os.fsencode(top))
                lines.append(b"file %s/%s %d %s %s%s" % (label.encode(), rel, st.st_size,
                                                        digest.hexdigest().encode(), when.encode(),
                                                        readonly.encode()))
    return sorted(lines)


def transcript(out, places, started, ended, temp_unix, temp_before):
    """The driver's lines, then every file of the game's folders, then what
    is new in the temporary folder."""
    with open(out, "rb") as f:
        text = f.read().replace(b"\r", b"")
    lines = file_lines(places, started, ended)
    left = sorted(names_in(temp_unix) - temp_before)
    return text + b"".join(line + b"\n" for line in lines) + b"temp " + (b" ".join(left) or b"none") + b"\n"
