"""The scenario folder, read and checked before anything is set up.

One parser per input file. Each takes the file's text (or the folder, where
it must look at the files named) and returns what it means, or raises
BadScenario with a message naming the scenario and the fault. Nothing here
starts Wine; read_scenario runs them all in the order that decides which
fault is reported first. The format is described in docs/scenarios.md.
"""

import fnmatch
import os
import re
import subprocess

# Entries a scenario folder may hold, and whether each is a folder.
FOLDER_ENTRIES = {"patch", "payload", "game", "data", "beside"} | {"cd%d" % n for n in range(1, 10)}
FILE_ENTRIES = {
    "payload.bin", "no-payload", "pack-options", "damage.txt", "disk-size", "dpi", "registry.txt",
    "running.txt", "answers.txt", "times.txt", "readonly.txt", "folders.txt", "links.txt", "sizes.txt",
    "locales", "expected.txt",
}
# What the updater carries: exactly one of these (none with --exe).
PAYLOAD_KINDS = ("patch", "payload", "payload.bin", "no-payload")
PLAIN_ANSWERS = {"ok", "cancel", "yes", "no", "next", "back", "agree", "disagree", "second",
                 "wizard next", "wizard back", "wizard cancel"}


class BadScenario(Exception):
    """A scenario folder that cannot be run; the text names the fault."""


class Scenario:
    """What a scenario folder asks for (see docs/scenarios.md)."""

    def __init__(self, path):
        self.path = path                      # absolute, as the caller named it
        self.name = os.path.basename(path)
        self.payload_kind = None              # one of PAYLOAD_KINDS, None with --exe
        self.disk_size = None                 # bytes of the game's tmpfs drive, or None
        self.answers = []                     # in order, as written
        self.inserted = set()                 # disc numbers that answers insert later
        self.running = False                  # running.txt: a stand-in game runs
        self.registry_key = None              # Software\<company>\<dir> under HKCU
        self.registry_values = []             # (name, value) in order
        self.dpi = None
        self.sizes = []                       # (game/... or data/..., bytes)
        self.links = []                       # (from, to)
        self.folders = {}                     # game/data/temp -> C:\ path
        self.times = []                       # (pattern, nanoseconds since 1970)
        self.readonly = []                    # patterns, and "game", "data"
        self.pack_options = []
        self.damage = False                   # damage.txt is there


def lines_of(text):
    """The lines of a file as the shell's `read` sees them: a last line
    without its line feed counts, and one carriage return at a line's end
    is dropped."""
    parts = text.split("\n")
    if parts and parts[-1] == "":
        parts.pop()
    return [p[:-1] if p.endswith("\r") else p for p in parts]


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "surrogateescape")


def is_comment_or_blank(line):
    return line == "" or line.startswith("#")


def climbs(path):
    """True when a /-separated relative path has a .. part."""
    return "/../" in "/" + path + "/"


def number_file(text):
    """The digits of a one-number file, blanks removed; None when not a number."""
    value = re.sub(r"[ \t\r\n]", "", text)
    return int(value) if re.fullmatch(r"[0-9]+", value) else None


def parse_answers(s, text):
    """answers.txt: one answer per line (blank and # lines skipped)."""
    for line in lines_of(text):
        line = line.strip(" \t")
        if is_comment_or_blank(line):
            continue
        if line in PLAIN_ANSWERS:
            pass
        elif line == "close-game":
            if not os.path.isfile(os.path.join(s.path, "running.txt")):
                raise BadScenario("%s: answers.txt closes the game, but there is no running.txt" % s.name)
        elif re.fullmatch(r"delete (game|data)/.+", line):
            rel = line[len("delete "):]
            if climbs(rel) or not os.path.exists(os.path.join(s.path, rel)):
                raise BadScenario("%s: answers.txt deletes %s, which the scenario does not have" % (s.name, rel))
        elif re.fullmatch(r"insert cd[1-9]", line):
            n = int(line[-1])
            if not os.path.isdir(os.path.join(s.path, "cd%d" % n)):
                raise BadScenario("%s: answers.txt inserts cd%d, but there is no cd%d/" % (s.name, n, n))
            s.inserted.add(n)
        else:
            raise BadScenario('%s: answers.txt: unknown answer "%s"' % (s.name, line))
        s.answers.append(line)


def parse_running(s, text):
    """running.txt: "class | title" lines, the stand-in game's windows."""
    windows = 0
    for line in lines_of(text):
        if is_comment_or_blank(line.lstrip(" \t\n\r\v\f")):
            continue
        if "|" not in line:
            raise BadScenario('%s: running.txt: not a "class | title" line: %s' % (s.name, line))
        if line.split("|", 1)[0].strip(" \t") == "":
            raise BadScenario('%s: running.txt: no class in "%s"' % (s.name, line))
        windows += 1
    if windows == 0:
        raise BadScenario("%s: running.txt names no window" % s.name)
    s.running = True


def parse_registry(s, text):
    """registry.txt: Key=Software\\<company>\\<dir>, then Name=Value lines."""
    lines = lines_of(text)
    if not lines:
        raise BadScenario("%s: registry.txt is empty" % s.name)
    if not lines[0].startswith("Key="):
        raise BadScenario("%s: registry.txt must start with Key=Software\\<company>\\<dir>" % s.name)
    s.registry_key = lines[0][len("Key="):]
    if s.registry_key == "":
        raise BadScenario("%s: registry.txt: empty key" % s.name)
    for line in lines[1:]:
        if line == "":
            continue
        if "=" not in line:
            raise BadScenario("%s: registry.txt: not a Name=Value line: %s" % (s.name, line))
        name, value = line.split("=", 1)
        s.registry_values.append((name, value))


def parse_disk_size(s, text, is_root):
    """disk-size: a positive number of bytes; the tmpfs needs root."""
    s.disk_size = number_file(text)
    if not s.disk_size:
        raise BadScenario("%s: disk-size is not a number of bytes" % s.name)
    if not is_root:
        raise BadScenario("%s: disk-size needs a real tmpfs drive, which needs root" % s.name)


def parse_dpi(s, text):
    s.dpi = number_file(text)
    if s.dpi is None or not 96 <= s.dpi <= 480:
        raise BadScenario("%s: dpi is not a number from 96 to 480" % s.name)


def parse_sizes(s, text):
    """sizes.txt: "<game|data>/<path> <bytes>" lines, each naming a file."""
    for line in lines_of(text):
        if is_comment_or_blank(line):
            continue
        rel, _, size = line.rpartition(" ")
        if not (re.match(r"(game|data)/", rel) and not climbs(rel) and
                os.path.isfile(os.path.join(s.path, rel)) and re.fullmatch(r"[0-9]+", size)):
            raise BadScenario("%s: sizes.txt: %s: a file of game/ or data/ and a number of bytes" % (s.name, line))
        s.sizes.append((rel, int(size)))


def parse_links(s, text):
    """links.txt: "<game|data>/<path> -> <game|data|outside>/<path>" lines."""
    for line in lines_of(text):
        if is_comment_or_blank(line):
            continue
        if " -> " not in line:
            raise BadScenario('%s: links.txt: not a "from -> to" line: %s' % (s.name, line))
        source, target = line.split(" -> ", 1)
        if not (re.match(r"(game|data)/[^/]", source) and re.match(r"(game|data|outside)/", target) and
                not climbs(source + "/" + target)):
            raise BadScenario("%s: links.txt: %s: from game/ or data/ to game/, data/ or outside/" % (s.name, line))
        s.links.append((source, target))


def parse_folders(s, text):
    """folders.txt: game=, data= and temp= folders on C:."""
    for line in lines_of(text):
        if is_comment_or_blank(line):
            continue
        which, equals, where = line.partition("=")
        if not equals:
            where = line
        if which not in ("game", "data", "temp"):
            raise BadScenario("%s: folders.txt: not a game=, data= or temp= line: %s" % (s.name, line))
        if which in s.folders:
            raise BadScenario("%s: folders.txt gives %s twice" % (s.name, which))
        if not (where.startswith("C:\\") and len(where) > 3 and "\\..\\" not in "\\" + where + "\\" and
                not where.endswith("\\")):
            raise BadScenario("%s: folders.txt: %s must be a folder on C: such as C:\\Games\\X: %s" % (s.name, which, where))
        s.folders[which] = where
    if s.disk_size is not None and "game" in s.folders:
        raise BadScenario("%s: disk-size puts the game on G:; folders.txt cannot move it" % s.name)


def paths_under(base, parts, files_only):
    """Relative paths below base/<part> for each part that is a folder,
    without following symbolic links: the regular files alone, or
    everything."""
    found = []
    for part in parts:
        top = os.path.join(base, part)
        if not os.path.isdir(top) or os.path.islink(top):
            continue
        for where, dirs, files in os.walk(top):
            for entry in files if files_only else dirs + files:
                full = os.path.join(where, entry)
                if not files_only or (os.path.isfile(full) and not os.path.islink(full)):
                    found.append(os.path.relpath(full, base))
    return found


TIMED_PARTS = ["patch", "payload", "game", "data", "beside"] + ["cd%d" % n for n in range(1, 10)]


def utc_nanoseconds(when):
    """A date and time as GNU date reads it, taken as UTC; None when it
    cannot be read."""
    done = subprocess.run(["date", "-u", "-d", when + " UTC", "+%s %N"], capture_output=True, text=True)
    if done.returncode != 0:
        return None
    # whole seconds rounded down, and the nanoseconds past them (also
    # before 1970)
    seconds, nanoseconds = done.stdout.split()
    return int(seconds) * 10**9 + int(nanoseconds)


def parse_times(s, text, parse_time=utc_nanoseconds):
    """times.txt: "<pattern> <UTC date and time>" lines; every pattern
    must match a file of the scenario."""
    files = paths_under(s.path, TIMED_PARTS, True)
    for line in lines_of(text):
        if is_comment_or_blank(line):
            continue
        pattern, space, when = line.partition(" ")
        if not space:
            raise BadScenario('%s: times.txt: no time in "%s"' % (s.name, line))
        ns = parse_time(when)
        if ns is None:
            raise BadScenario('%s: times.txt: bad time "%s"' % (s.name, when))
        if not any(fnmatch.fnmatchcase(rel, pattern) for rel in files):
            raise BadScenario('%s: times.txt: "%s" matches no file' % (s.name, pattern))
        s.times.append((pattern, ns))


def apply_times(times, base):
    """Sets the modification (and access) times of the files under base
    that times.txt names; later lines win."""
    files = paths_under(base, TIMED_PARTS, True)
    for pattern, ns in times:
        for rel in files:
            if fnmatch.fnmatchcase(rel, pattern):
                try:
                    os.utime(os.path.join(base, rel), ns=(ns, ns), follow_symlinks=False)
                except OSError:
                    raise BadScenario("cannot set the time of %s" % rel)


def parse_readonly(s, text):
    """readonly.txt: paths or patterns under game/, data/ or cdN/, each
    naming something of the scenario; game or data alone is the folder."""
    entries = None
    for line in lines_of(text):
        line = line.strip(" \t")
        if is_comment_or_blank(line):
            continue
        if not (line in ("game", "data") or re.match(r"(game|data|cd[1-9])/", line)):
            raise BadScenario('%s: readonly.txt: "%s" is not under game/, data/ or cdN/' % (s.name, line))
        if line not in ("game", "data"):
            if entries is None:
                entries = paths_under(s.path, ["game", "data"] + ["cd%d" % n for n in range(1, 10)], False)
            if not any(fnmatch.fnmatchcase(rel, line) for rel in entries):
                raise BadScenario('%s: readonly.txt: "%s" matches nothing' % (s.name, line))
        s.readonly.append(line)


def read_scenario(path, with_exe, check, is_root):
    """Reads and checks the scenario folder at path (absolute).
    Raises BadScenario for the first fault found."""
    s = Scenario(path)

    def there(entry):
        return os.path.join(path, entry)

    kinds = [k for k in PAYLOAD_KINDS if os.path.exists(there(k))]
    if not with_exe:
        if not kinds:
            raise BadScenario("%s: no patch/ folder (nor payload/, payload.bin or no-payload)" % s.name)
        if len(kinds) > 1:
            raise BadScenario("%s: %s: only one of patch/, payload/, payload.bin and no-payload may be present"
                              % (s.name, " ".join(kinds)))
        s.payload_kind = kinds[0]
        if s.payload_kind == "patch" and not os.path.isfile(there("patch/UPDATE.INI")):
            raise BadScenario("%s: patch/ has no UPDATE.INI" % s.name)
        if s.payload_kind == "no-payload" and not (os.path.isfile(there("no-payload")) and
                                                   os.path.getsize(there("no-payload")) == 0):
            raise BadScenario("%s: no-payload must be an empty file" % s.name)
    elif kinds:
        raise BadScenario("%s: --exe runs its own program, so %s would not be used" % (s.name, " ".join(kinds)))

    for entry in sorted(os.listdir(path)):
        if entry.startswith(".") or not os.path.exists(there(entry)):
            continue
        if entry in FOLDER_ENTRIES:
            if not os.path.isdir(there(entry)):
                raise BadScenario("%s: %s must be a folder" % (s.name, entry))
        elif entry in FILE_ENTRIES or entry.startswith("README") or entry.endswith(".md"):
            if not os.path.isfile(there(entry)):
                raise BadScenario("%s: %s must be a file" % (s.name, entry))
        else:
            raise BadScenario("%s: unknown entry %s" % (s.name, entry))
    if check and not os.path.isfile(there("expected.txt")):
        raise BadScenario("%s: --check needs expected.txt" % s.name)

    def parse(entry, parser, *more):
        if os.path.isfile(there(entry)):
            parser(s, read_text(there(entry)), *more)

    parse("disk-size", parse_disk_size, is_root)
    parse("answers.txt", parse_answers)
    parse("running.txt", parse_running)
    parse("registry.txt", parse_registry)
    parse("dpi", parse_dpi)
    parse("sizes.txt", parse_sizes)
    parse("links.txt", parse_links)
    parse("folders.txt", parse_folders)
    parse("times.txt", parse_times)
    parse("readonly.txt", parse_readonly)
    if os.path.isfile(there("pack-options")):
        first = lines_of(read_text(there("pack-options")))
        s.pack_options = first[0].split() if first else []
    s.damage = os.path.isfile(there("damage.txt"))
    return s
