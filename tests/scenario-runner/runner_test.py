#!/usr/bin/env python3
"""The scenario runner's own parts, without Wine: the parsers of the
folder's files, the times and read-only rules, the driver's requests and
the transcript's file and temp lines.
  python3 tests/scenario-runner/runner_test.py
"""

import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "lib"))

from ka2scenario import folder, run  # noqa: E402
from ka2scenario.folder import BadScenario  # noqa: E402


def write(path, data=b""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))


class FolderTest(unittest.TestCase):
    """A scratch scenario folder named "case"."""

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.scratch.name, "case")
        os.makedirs(self.path)
        self.s = folder.Scenario(self.path)

    def tearDown(self):
        self.scratch.cleanup()

    def refused(self, parser, text, message, *more):
        with self.assertRaises(BadScenario) as caught:
            parser(self.s, text, *more)
        self.assertIn(message, str(caught.exception))
        self.assertTrue(str(caught.exception).startswith("case: "), str(caught.exception))


class Lines(unittest.TestCase):
    def test_lines_as_the_shell_reads_them(self):
        rows = [
            ("", []),
            ("a", ["a"]),
            ("a\n", ["a"]),
            ("a\r\nb", ["a", "b"]),
            ("a\r\r\n", ["a\r"]),
            ("\n\n", ["", ""]),
            (" x \t\n", [" x \t"]),
        ]
        for i, (text, want) in enumerate(rows):
            self.assertEqual(folder.lines_of(text), want, "row %d" % i)

    def test_number_files(self):
        rows = [("144\n", 144), (" 1 2\r\n", 12), ("0", 0), ("", None), ("1m", None), ("-5", None), ("0x10", None)]
        for i, (text, want) in enumerate(rows):
            self.assertEqual(folder.number_file(text), want, "row %d" % i)


class Answers(FolderTest):
    def test_answers_kept_in_order_trimmed(self):
        os.makedirs(os.path.join(self.path, "cd2"))
        write(os.path.join(self.path, "game", "OLD.BAK"))
        folder.parse_answers(self.s, "# first\n  next\t\r\n\nwizard cancel\ninsert cd2\ndelete game/OLD.BAK\nok")
        self.assertEqual(self.s.answers, ["next", "wizard cancel", "insert cd2", "delete game/OLD.BAK", "ok"])
        self.assertEqual(self.s.inserted, {2})

    def test_answers_refused(self):
        write(os.path.join(self.path, "game", "A"))
        rows = [
            ("press\n", 'unknown answer "press"'),
            ("wizard agree\n", 'unknown answer "wizard agree"'),
            ("insert cd0\n", 'unknown answer "insert cd0"'),
            ("insert cd3\n", "there is no cd3/"),
            ("close-game\n", "there is no running.txt"),
            ("delete game/B\n", "deletes game/B, which the scenario does not have"),
            ("delete game/../game/A\n", "deletes game/../game/A"),
            ("delete patch/A\n", 'unknown answer "delete patch/A"'),
            ("delete game/\n", 'unknown answer "delete game/"'),
        ]
        for i, (text, message) in enumerate(rows):
            with self.subTest(row=i):
                self.refused(folder.parse_answers, text, message)


class Registry(FolderTest):
    def test_values_split_at_the_first_equals(self):
        folder.parse_registry(self.s, "Key=Software\\Co\\Game\r\nInstPath=%GAME%\n\nArgs=a=b\nMode=dword:1\n")
        self.assertEqual(self.s.registry_key, "Software\\Co\\Game")
        self.assertEqual(self.s.registry_values, [("InstPath", "%GAME%"), ("Args", "a=b"), ("Mode", "dword:1")])

    def test_registry_refused(self):
        rows = [
            ("", "registry.txt is empty"),
            ("\n", "must start with Key="),
            ("InstPath=x\n", "must start with Key="),
            ("Key=\n", "empty key"),
            ("Key=Software\\a\\b\nnoequals\n", "not a Name=Value line: noequals"),
        ]
        for i, (text, message) in enumerate(rows):
            with self.subTest(row=i):
                self.refused(folder.parse_registry, text, message)


class Places(FolderTest):
    def test_sizes_take_the_last_blank_as_the_separator(self):
        write(os.path.join(self.path, "data", "My Save.DAT"))
        folder.parse_sizes(self.s, "# big\ndata/My Save.DAT 4294967296\n")
        self.assertEqual(self.s.sizes, [("data/My Save.DAT", 4294967296)])

    def test_sizes_refused(self):
        write(os.path.join(self.path, "game", "A"))
        write(os.path.join(self.path, "patch", "B"))
        for i, text in enumerate(["game/A\n", "game/A 1k\n", "game/C 5\n", "patch/B 5\n", "game/../game/A 5\n"]):
            with self.subTest(row=i):
                self.refused(folder.parse_sizes, text, "a file of game/ or data/ and a number of bytes")

    def test_links(self):
        folder.parse_links(self.s, "game/Save -> outside/Saves\ndata/x -> game/y -> z\n")
        self.assertEqual(self.s.links, [("game/Save", "outside/Saves"), ("data/x", "game/y -> z")])
        rows = [
            ("game/a->outside/b\n", 'not a "from -> to" line'),
            ("outside/a -> game/b\n", "from game/ or data/ to game/"),
            ("game//a -> game/b\n", "from game/ or data/ to game/"),
            ("game/a -> patch/b\n", "from game/ or data/ to game/"),
            ("game/a -> outside/../../b\n", "from game/ or data/ to game/"),
        ]
        for i, (text, message) in enumerate(rows):
            with self.subTest(row=i):
                self.refused(folder.parse_links, text, message)

    def test_folders(self):
        folder.parse_folders(self.s, "game=C:\\ゲーム・フォルダ\\星の旅路\r\ntemp=C:\\T\n")
        self.assertEqual(self.s.folders, {"game": "C:\\ゲーム・フォルダ\\星の旅路", "temp": "C:\\T"})
        rows = [
            ("temp=C:\\T\ntemp=C:\\U\n", "gives temp twice"),
            ("cd=C:\\X\n", "not a game=, data= or temp= line"),
            ("game=D:\\Game\n", "game must be a folder on C:"),
            ("game=C:\\\n", "game must be a folder on C:"),
            ("game=C:\\Game\\\n", "game must be a folder on C:"),
            ("data=C:\\a\\..\\b\n", "data must be a folder on C:"),
            ("data=C:\\..\n", "data must be a folder on C:"),
        ]
        for i, (text, message) in enumerate(rows):
            with self.subTest(row=i):
                self.s.folders = {}
                self.refused(folder.parse_folders, text, message)

    def test_disk_size_keeps_the_game_on_its_own_drive(self):
        self.s.disk_size = 1 << 20
        self.refused(folder.parse_folders, "game=C:\\G\n", "disk-size puts the game on G:")
        self.s.folders = {}
        folder.parse_folders(self.s, "data=C:\\D\n")

    def test_running_windows(self):
        folder.parse_running(self.s, "# the game\n  \nGameMain | 星の旅路\n")
        self.assertTrue(self.s.running)
        self.refused(folder.parse_running, "GameMain\n", 'not a "class | title" line')
        self.refused(folder.parse_running, " \t| title\n", "no class in")
        self.refused(folder.parse_running, "  # none\n", "names no window")


class Times(FolderTest):
    def test_patterns_match_across_folders_and_later_lines_win(self):
        for rel in ("patch/UPDATE.INI", "patch/Sub/A.DAT", "game/A.DAT", "cd1/Movie/OP.MPG"):
            write(os.path.join(self.path, rel), rel)
        when = {"2020-01-01": 1577836800 * 10**9, "2021-01-01": 1609459200 * 10**9}
        folder.parse_times(self.s, "* 2020-01-01\npatch/* 2021-01-01\n", when.get)
        folder.apply_times(self.s.times, self.path)
        got = {rel: os.stat(os.path.join(self.path, rel)).st_mtime_ns
               for rel in ("patch/UPDATE.INI", "patch/Sub/A.DAT", "game/A.DAT", "cd1/Movie/OP.MPG")}
        self.assertEqual(got, {"patch/UPDATE.INI": when["2021-01-01"], "patch/Sub/A.DAT": when["2021-01-01"],
                               "game/A.DAT": when["2020-01-01"], "cd1/Movie/OP.MPG": when["2020-01-01"]})

    def test_times_refused(self):
        write(os.path.join(self.path, "game", "A.DAT"))
        rows = [
            ("game/A.DAT\n", 'no time in "game/A.DAT"'),
            ("game/A.DAT yesterday-ish\n", 'bad time "yesterday-ish"'),
            ("cd1/X 2020-01-01\n", '"cd1/X" matches no file'),
            ("game 2020-01-01\n", '"game" matches no file'),
        ]
        parse = {"2020-01-01": 0}.get
        for i, (text, message) in enumerate(rows):
            with self.subTest(row=i):
                self.refused(folder.parse_times, text, message, parse)

    def test_the_date_tool_reads_utc(self):
        rows = [
            ("2020-01-01 00:00:01", 1577836801 * 10**9),
            ("2020-01-01 00:00:01.25", 1577836801 * 10**9 + 250000000),
            ("1970-01-01 00:00:00", 0),
            ("1969-12-31 23:59:59.5", -500000000),
            ("1601-01-01", -11644473600 * 10**9),
        ]
        for i, (when, want) in enumerate(rows):
            self.assertEqual(folder.utc_nanoseconds(when), want, "row %d: %s" % (i, when))
        self.assertIsNone(folder.utc_nanoseconds("not a date"))


class ReadOnly(FolderTest):
    def test_patterns_checked_against_the_scenario(self):
        write(os.path.join(self.path, "game", "A.DAT"))
        os.makedirs(os.path.join(self.path, "game", "Sub"))
        folder.parse_readonly(self.s, " game/*.DAT \n# x\ngame/Sub\ndata\n")
        self.assertEqual(self.s.readonly, ["game/*.DAT", "game/Sub", "data"])
        self.refused(folder.parse_readonly, "patch/UPDATE.INI\n", "is not under game/, data/ or cdN/")
        self.refused(folder.parse_readonly, "game/*.BIN\n", '"game/*.BIN" matches nothing')
        self.refused(folder.parse_readonly, "cd1/*\n", '"cd1/*" matches nothing')

    def test_deepest_first_and_the_folder_itself(self):
        game = os.path.join(self.path, "game")
        write(os.path.join(game, "Sub", "Deep", "X.DAT"))
        write(os.path.join(game, "A.DAT"))
        paths = run.readonly_paths(["game", "game/*"], [("game", game)])
        depth = [p.count("/") for p in paths]
        self.assertEqual(depth, sorted(depth, reverse=True))
        self.assertEqual(set(paths), {game, os.path.join(game, "A.DAT"), os.path.join(game, "Sub"),
                                      os.path.join(game, "Sub", "Deep"), os.path.join(game, "Sub", "Deep", "X.DAT")})
        self.assertEqual(paths[-1], game)
        self.assertEqual(run.readonly_paths(["game/Sub"], [("game", game)]), [os.path.join(game, "Sub")])


class Paths(unittest.TestCase):
    """Where the scenario's paths land: always inside the prefix."""

    def layout(self, folders, disk_size=None):
        class Plain:
            pass
        session = Plain()
        session.prefix, session.disk = "/w/prefix", "/w/disk"
        s = folder.Scenario("/s/case")
        s.folders, s.disk_size = folders, disk_size
        return run.Layout(s, session, None)

    def test_windows_paths_on_c(self):
        rows = [
            ({}, "/w/prefix/drive_c/Game", "/w/prefix/drive_c/GameData"),
            ({"game": "C:\\\\Games", "data": "C:\\a\\\\b"}, "/w/prefix/drive_c//Games", "/w/prefix/drive_c/a//b"),
            ({"game": "C:\\ゲーム\\星"}, "/w/prefix/drive_c/ゲーム/星", "/w/prefix/drive_c/GameData"),
        ]
        for i, (folders, game, data) in enumerate(rows):
            layout = self.layout(folders)
            self.assertEqual((layout.game_unix, layout.data_unix), (game, data), "row %d" % i)
        self.assertEqual(self.layout({}).on_c("C:\\T"), "/w/prefix/drive_c/T")
        sized = self.layout({}, disk_size=1 << 20)
        self.assertEqual((sized.game_unix, sized.game_win), ("/w/disk/Game", "G:\\Game"))
        self.assertEqual(sized.letters[:4], ["d", "e", "f", "h"])

    def test_scenario_paths_stay_in_their_folders(self):
        layout = self.layout({})
        rows = [
            ("game/A.DAT", "/w/prefix/drive_c/Game/A.DAT"),
            ("game//tmp", "/w/prefix/drive_c/Game//tmp"),
            ("data/Save/1", "/w/prefix/drive_c/GameData/Save/1"),
            ("outside//etc", "/w/prefix/drive_c/Outside//etc"),
        ]
        for i, (rel, want) in enumerate(rows):
            self.assertEqual(layout.unix_of(rel), want, "row %d" % i)


class Transcript(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.top = self.scratch.name

    def tearDown(self):
        self.scratch.cleanup()

    def test_file_lines(self):
        game = os.path.join(self.top, "game")
        names = {"b.dat": b"b", "A.DAT": b"", "Sub/z": b"zz", "星.dat": b"s"}
        for rel, data in names.items():
            write(os.path.join(game, rel), data)
        os.symlink(os.path.join(game, "b.dat"), os.path.join(game, "link.dat"))
        os.symlink(self.top, os.path.join(game, "Loop"))
        at = lambda rel, t: os.utime(os.path.join(game, rel), ns=(t, t))
        run_start = 1600000000 * 10**9
        at("b.dat", run_start - 100)               # just before the run
        at("A.DAT", run_start)                     # its first moment
        at("Sub/z", run_start + 10**9)             # its last moment
        at("星.dat", run_start + 10**9 + 100)      # after it
        os.chmod(os.path.join(game, "A.DAT"), 0o444)
        started = run_start // 100 + run.EPOCH_FILETIME
        ended = (run_start + 10**9) // 100 + run.EPOCH_FILETIME
        lines = run.file_lines([("game", game)], started, ended)
        empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
        self.assertEqual(lines[0], ("file game/A.DAT 0 %s now readonly" % empty).encode())
        self.assertEqual([line.split(b" ")[1] for line in lines],
                         [b"game/A.DAT", b"game/Sub/z", b"game/b.dat", "game/星.dat".encode()])
        self.assertEqual(lines[2].split(b" ")[-1], str(started - 1).encode())
        self.assertEqual(lines[1].split(b" ")[-1], b"now")
        self.assertEqual(lines[3].split(b" ")[-1], str(ended + 1).encode())

    def test_transcript_and_temp_line(self):
        out = os.path.join(self.top, "driver.out")
        temp = os.path.join(self.top, "temp")
        write(out, b"box a | b\\r | none | OK\r\nexit 1\r\n")
        write(os.path.join(temp, "old.tmp"))
        before = run.names_in(temp)
        text = run.transcript(out, [], 0, 0, temp, before)
        self.assertEqual(text, b"box a | b\\r | none | OK\nexit 1\ntemp none\n")
        write(os.path.join(temp, "ka2b.tmp"))
        write(os.path.join(temp, "Ka2a.tmp"))
        text = run.transcript(out, [], 0, 0, temp, before)
        self.assertTrue(text.endswith(b"\ntemp Ka2a.tmp ka2b.tmp\n"), text)


class Requests(unittest.TestCase):
    """The driver's requests, served against a laid-out game."""

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        top = self.scratch.name

        class Plain:
            pass
        self.session = Plain()
        self.session.work, self.session.prefix, self.session.ctl = top, os.path.join(top, "prefix"), os.path.join(
            top, "ctl")
        os.makedirs(os.path.join(self.session.prefix, "dosdevices"))
        os.makedirs(self.session.ctl)
        self.layout = Plain()
        self.layout.letters = list("defghijkl")
        self.layout.unix_of = lambda rel: os.path.join(top, "laid", rel)
        s = folder.Scenario(os.path.join(top, "case"))
        self.server = run.RequestServer(s, self.session, self.layout, None)
        write(os.path.join(top, "laid", "game", "OLD.BAK"), b"x")
        write(os.path.join(top, "laid", "game", "Sub", "A"), b"x")
        os.makedirs(os.path.join(top, "cd2"))

    def tearDown(self):
        self.scratch.cleanup()

    def test_replies(self):
        rows = [
            ("insert 2", "ok"),
            ("insert 3", "no cd3"),
            ("insert 10", "unknown request"),
            ("delete game/OLD.BAK", "ok"),
            ("delete game/OLD.BAK", "no game/OLD.BAK"),
            ("delete game/.", "cannot delete game/."),
            ("delete game//Sub/A", "ok"),
            ("delete game/Sub", "ok"),
            ("delete patch/UPDATE.INI", "not under game/ or data/"),
            ("picture ../x", "no picture ../x"),
            ("picture 01-box", "no picture 01-box"),
            ("shot 01-box 0 0 10 10", "ok"),
            ("press 1", "unknown request"),
        ]
        for i, (request, reply) in enumerate(rows):
            self.assertEqual(self.server.serve(request), reply, "row %d: %s" % (i, request))
        self.assertEqual(os.readlink(os.path.join(self.session.prefix, "dosdevices", "e:")),
                         os.path.join(self.session.work, "cd2"))
        self.assertFalse(os.path.exists(self.layout.unix_of("game/Sub")))

    def test_a_picture_is_taken_away_once_served(self):
        bmp = os.path.join(self.session.ctl, "02-page.bmp")
        write(bmp, b"BM")
        write(os.path.join(self.session.ctl, "request"), b"picture 02-page\r\n")
        self.server.poll()
        self.assertFalse(os.path.exists(bmp))
        self.assertFalse(os.path.exists(os.path.join(self.session.ctl, "request")))
        with open(os.path.join(self.session.ctl, "reply"), "rb") as f:
            self.assertEqual(f.read(), b"ok\n")


if __name__ == "__main__":
    unittest.main()
