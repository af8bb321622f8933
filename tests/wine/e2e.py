#!/usr/bin/env python3
"""End-to-end tests of ovpre.exe under Wine, started as the FTP server starts it.

Every request goes through launch.exe, which hands ovpre.exe an exact raw
command line through CreateProcessW. The server's ownership control is the
test double raidenmodex_double.dll, registered in the prefix with regsvr32;
it logs each call it receives.

Needs WINEPREFIX set to a prefix whose drives E: and F: are the Linux folders
given here (ideally on two different Linux file systems). Drive G: is made
here as a second letter for the folder of E:.

Usage: e2e.py --ovpre OVPRE_EXE --tools TOOLS_DIR --drive-e DIR --drive-f DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import unittest
import zlib

sys.dont_write_bytecode = True  # keep the source tree clean
from wine_site import CRLF, INSTALL_DIR, OWNER_CALL_TYPES, WineSite, read_tree, write_tree

BANNER = b"---------------------------- [ OV's Pre Script V0.1 ]---------------------------"
OWNERSHIP_LINE = b"Owner and permissions could not be set, please notify a siteop."

# The owner user and owner group that each NewOwner gives: the text is cut
# at its first ":", except that a ":" in the last place stays on the user.
OWNER_PARTS = {
    "admin:admins": ("admin", "admins"),
    "ftpuser": ("ftpuser", ""),
    "arch:ivers": ("arch", "ivers"),
    "admin": ("admin", ""),
    "new:owners": ("new", "owners"),
}

GROUPS = [
    # name, owndir, todir, dated, newowner, newperms
    ("SameDrive", r"E:\ftp\pre\Same Drive", r"E:\ftp\mp3", "0", "admin:admins", "666"),
    ("SameDated", r"E:\ftp\pre\SameDated", r"E:\ftp\mp3", "1", "ftpuser", "777"),
    ("CrossDated", r"E:\ftp\pre\CrossDated", r"F:\archive", "3", "arch:ivers", "644"),
    ("CrossPlain", r"E:\ftp\pre\CrossPlain", r"F:\archive", "0", "admin", "600"),
    # G: is E: under another letter: one volume, so a rename.
    ("TwoLetters", r"E:\ftp\pre\TwoLetters", r"G:\ftp\mp3", "0", "admin:admins", "666"),
]

RELEASE_TREE = {
    "a.nfo": b"release notes\r\n",
    "CD1/01-track.mp3": b"\xff\xfb" + bytes(range(256)) * 8,
    "CD1/Extras/deep.txt": b"deep",
    "Sample/": None,
    ".message": b"hidden by Wine's dot-file rule",
    "Caf\u00e9.sfv": b"checksums",
}

SITE = None


def reply(message):
    return BANNER + CRLF + message + CRLF


def success(release, destination):
    return (release.encode("cp1252") + b" was successfully pre'd to:" + CRLF +
            destination.encode("cp1252"))


def announcement(release, group, destination):
    return (b">> \x02MySite\x02 << Pre: \x02" + release.encode("cp1252") + b" \x02from\x02 " +
            group.encode("cp1252") + CRLF + b">> Grab it from " +
            destination.encode("cp1252") + CRLF)


def pre_line(group, current_dir, tag, release, access="1"):
    return f"ovpre.exe 0|{group}|{access}|{tag}|{current_dir}|pre {release}"


class SiteTestCase(unittest.TestCase):
    def setUp(self):
        self.site = SITE
        self.site.clear_control_log()

    def place_release(self, owndir, release, tree=RELEASE_TREE):
        write_tree(self.site.linux_path(owndir + "\\" + release), tree)

    def assert_moved(self, source, destination, tree=RELEASE_TREE):
        self.assertFalse(os.path.exists(self.site.linux_path(source)), "source left behind")
        self.assertEqual(read_tree(self.site.linux_path(destination)), tree)

    def expected_owner_calls(self, group, destination):
        """The calls for the destination, everything in it, then each entry a
        directory search shows (hidden ones excluded) and its content."""
        _, _, _, _, owner, perms = next(g for g in GROUPS + self.site.added if g[0] == group)
        user, owner_group = OWNER_PARTS[owner]
        paths = [destination, destination + "\\*"]
        for name, attributes in self.site.directory_search(destination + "\\*.*"):
            if name in (".", "..") or attributes & 0x6:
                continue
            paths += [destination + "\\" + name, destination + "\\" + name + "\\*"]
        return [f"{perms}\t{user}\t{owner_group}\t{p}\t1\t0\t{OWNER_CALL_TYPES}" for p in paths]

    def run_pre(self, group, release, tag, command_line=None, env=None):
        owndir = next(g[1] for g in GROUPS if g[0] == group)
        line = command_line or pre_line(group, owndir, tag, release)
        self.assertEqual(self.site.run(line, env), 0)


class PreTests(SiteTestCase):
    def test_same_drive_moves_and_owns_in_listing_order(self):
        release, destination = "Some.Release-GRP", r"E:\ftp\mp3\Some.Release-GRP"
        owndir = r"E:\ftp\pre\Same Drive"
        self.place_release(owndir, release)
        # Typed in another case, it keeps its folder's own name.
        self.run_pre("SameDrive", release.lower(), "101")
        self.assertEqual(self.site.reply("pre", "101"), reply(success(release, destination)))
        self.assertEqual(os.listdir(self.site.linux_path(r"E:\ftp\mp3")).count(release), 1)
        self.assertEqual(self.site.announce(), announcement(release, "SameDrive", destination))
        self.assert_moved(owndir + "\\" + release, destination)
        calls = self.site.control_log()
        self.assertEqual(calls, self.expected_owner_calls("SameDrive", destination))
        # Four visible top-level entries (the hidden one gets none): 2 + 2 * 4.
        self.assertEqual(len(calls), 10)
        self.assertFalse(any(".message" in c for c in calls))

    def test_same_drive_dated_keeps_spaces_of_the_raw_line(self):
        release = "My  Release"
        owndir = r"E:\ftp\pre\SameDated"
        self.place_release(owndir, release, {"x.nfo": b"x"})
        destination_of = self.site.date_folders(r"E:\ftp\mp3", "{m:02d}{d:02d}")
        self.run_pre("SameDated", release, "102")
        destination = destination_of(release)
        self.assertEqual(self.site.reply("pre", "102"), reply(success(release, destination)))
        self.assert_moved(owndir + "\\" + release, destination, {"x.nfo": b"x"})
        calls = self.site.control_log()
        self.assertEqual(calls, self.expected_owner_calls("SameDated", destination))
        # A NewOwner without ":" gives an empty owner group.
        self.assertTrue(calls[0].startswith("777\tftpuser\t\t"))

    def test_cross_drive_dated_copies_then_deletes(self):
        release = "Cross.Dated-GRP"
        owndir = r"E:\ftp\pre\CrossDated"
        self.place_release(owndir, release)
        destination_of = self.site.date_folders(r"F:\archive", "{y:04d}-{m:02d}-{d:02d}")
        # The server may quote the program's full path; the arguments are
        # still everything after it.
        line = '"C:\\ovpre-e2e\\ovpre.exe" ' + pre_line("CrossDated", owndir, "103",
                                                          release).split(" ", 1)[1]
        self.run_pre("CrossDated", release, "103", command_line=line)
        destination = destination_of(release)
        self.assertEqual(self.site.reply("pre", "103"), reply(success(release, destination)))
        self.assertEqual(self.site.announce(), announcement(release, "CrossDated", destination))
        self.assert_moved(owndir + "\\" + release, destination)
        self.assertEqual(self.site.control_log(),
                         self.expected_owner_calls("CrossDated", destination))

    def test_cross_drive_plain_with_a_non_ascii_release(self):
        release, destination = "Caf\u00e9.Live-GRP", "F:\\archive\\Caf\u00e9.Live-GRP"
        owndir = r"E:\ftp\pre\CrossPlain"
        self.place_release(owndir, release)
        self.run_pre("CrossPlain", release, "104")
        # Files for the server and the bot are in the system code page; the
        # control gets the same text as UTF-16.
        self.assertEqual(self.site.reply("pre", "104"), reply(success(release, destination)))
        self.assertEqual(self.site.announce(), announcement(release, "CrossPlain", destination))
        self.assert_moved(owndir + "\\" + release, destination)
        calls = self.site.control_log()
        self.assertEqual(calls, self.expected_owner_calls("CrossPlain", destination))
        self.assertTrue(calls[0].startswith("600\tadmin\t\t"))

    def test_cross_drive_clears_a_leftover_work_entry_and_says_what_stays(self):
        # A work entry whose mark says partial but carries no seal of the
        # program's key (anyone under the server's account could have made
        # it) is passed by and left as it is; nothing of it reaches the
        # release. A release that only looks like a staging folder is left
        # alone, and so is a file at an old work folder name.
        owndir, archive = r"E:\ftp\pre\CrossPlain", r"F:\archive"
        release = "Left.Over-GRP"
        self.place_release(owndir, release)
        work = archive + "\\.ovpre-work.1"
        write_tree(self.site.linux_path(archive), {
            ".ovpre-work": b"not a folder",
            "." + release + ".ovpre-staging/CD1/01-track.mp3": b"theirs"})
        write_tree(self.site.linux_path(work + "\\" + release),
                   {"mark": b"partial", "release/CD1/01-track.mp3": b"half"})
        self.run_pre("CrossPlain", release, "112")
        destination = archive + "\\" + release
        self.assertEqual(self.site.reply("pre", "112"), reply(success(release, destination)))
        self.assert_moved(owndir + "\\" + release, destination)
        listed = os.listdir(self.site.linux_path(archive))
        self.assertEqual(sorted(n for n in listed if not n.startswith(".ovpre-work-")),
                         [".Left.Over-GRP.ovpre-staging", ".ovpre-work", ".ovpre-work.1", release])
        self.assertEqual(read_tree(self.site.linux_path(work + "\\" + release)),
                         {"mark": b"partial", "release/CD1/01-track.mp3": b"half"})
        # A file of the source held open without delete sharing cannot go:
        # the release is whole at the destination and the user is told.
        release = "Held.Source-GRP"
        self.place_release(owndir, release)
        held = owndir + "\\" + release + "\\a.nfo"
        let_go = self.site.hold_open([held])
        try:
            self.run_pre("CrossPlain", release, "113")
        finally:
            let_go()
        destination = archive + "\\" + release
        self.assertEqual(self.site.reply("pre", "113"), reply(
            success(release, destination) + CRLF +
            b"Part of the release could not be removed from your folder, please notify a siteop."))
        self.assertEqual(read_tree(self.site.linux_path(destination)), RELEASE_TREE)
        self.assertTrue(os.path.exists(self.site.linux_path(held)))
        self.assertIn(".ovpre-work.1", os.listdir(self.site.linux_path(archive)))

    def test_cross_drive_refuses_a_release_still_being_uploaded(self):
        owndir, release = r"E:\ftp\pre\CrossPlain", "Still.Uploading-GRP"
        self.place_release(owndir, release)
        let_go = self.site.hold_open([owndir + "\\" + release + "\\CD1\\01-track.mp3"], write=True)
        try:
            self.run_pre("CrossPlain", release, "116")
        finally:
            let_go()
        self.assertEqual(self.site.reply("pre", "116"), reply(
            b"Error moving folder -- the destination path probably" + CRLF + b"already exists." +
            CRLF + b"Reason: a file in the release is in use."))
        self.assertEqual(read_tree(self.site.linux_path(owndir + "\\" + release)), RELEASE_TREE)
        archive = os.listdir(self.site.linux_path(r"F:\archive"))
        self.assertEqual([name for name in archive if release in name], [])
        self.assertEqual(self.site.control_log(), [])

    def test_cross_drive_to_a_drive_root_flushes_the_root_folder_itself(self):
        # H: is a folder on F:'s file system, mapped as a drive of its own.
        owndir, release = r"E:\ftp\pre\CrossPlain", "Root.Target-GRP"
        destination = "H:\\\\" + release  # todir "H:\" and the release, joined by "\"
        log = self.site.linux_path(INSTALL_DIR + "\\ovpre.log")
        original = self.site.settings_bytes()
        self.site.write_settings(original + b"".join(line.encode() + CRLF for line in [
            "group=RootTarget", "owndir=" + owndir, "todir=H:\\", "dated=0",
            "newowner=admin:admins", "newperms=666", "logfile=" + INSTALL_DIR + "\\ovpre.log"]))
        try:
            self.place_release(owndir, release)
            self.assertEqual(self.site.run(pre_line("RootTarget", owndir, "150", release)), 0)
        finally:
            self.site.write_settings(original)
        with open(log, "rb") as f:
            text = f.read()
        os.remove(log)
        self.assertEqual(self.site.reply("pre", "150"), reply(success(release, destination)))
        self.assert_moved(owndir + "\\" + release, "H:\\" + release)
        self.assertIn(b"\tcopied\t", text)
        self.assertNotIn(b"flush", text)

    def test_failing_control_call_still_makes_every_call(self):
        release, destination = "Fail.Some-GRP", r"E:\ftp\mp3\Fail.Some-GRP"
        owndir = r"E:\ftp\pre\Same Drive"
        self.place_release(owndir, release)
        self.run_pre("SameDrive", release, "105", env={"OVPRE_CONTROL_FAIL_ON": "\\CD1"})
        self.assertEqual(self.site.reply("pre", "105"),
                         reply(success(release, destination) + CRLF + OWNERSHIP_LINE))
        self.assertEqual(self.site.control_log(),
                         self.expected_owner_calls("SameDrive", destination))
        self.assertEqual(self.site.announce(), announcement(release, "SameDrive", destination))

    def test_a_section_across_drives_then_a_dupe_in_another_case(self):
        owndir, destination = r"E:\ftp\pre\CrossPlain", r"F:\archive\Section.Rel-GRP"
        original = self.site.settings_bytes()
        self.site.write_settings(original + b"".join(line.encode() + CRLF for line in [
            "group=Sections", "owndir=" + owndir, r"todir=E:\ftp\mp3", "newowner=admin:admins",
            "newperms=666", "dupedays=2",
            r"section=Archive*F:\archive*0"]))
        try:
            self.place_release(owndir, "Section.Rel-GRP")
            self.assertEqual(self.site.run(pre_line("Sections", owndir, "140",
                                                    "Section.Rel-GRP aRCHIVE")), 0)
            self.assertEqual(self.site.reply("pre", "140"),
                             reply(success("Section.Rel-GRP", destination)))
            self.assert_moved(owndir + "\\Section.Rel-GRP", destination)
            self.assertIn(b"Sections in Archive" + CRLF, self.site.announce())
            self.place_release(owndir, "SECTION.REL-GRP")
            self.assertEqual(self.site.run(pre_line("Sections", owndir, "141", "SECTION.REL-GRP")), 0)
            self.assertEqual(self.site.reply("pre", "141"), reply(
                b"Dupe: SECTION.REL-GRP was already pre'd to:" + CRLF + destination.encode()))
        finally:
            self.site.write_settings(original)
            shutil.rmtree(self.site.linux_path(owndir + "\\SECTION.REL-GRP"), ignore_errors=True)
            shutil.rmtree(self.site.linux_path(destination), ignore_errors=True)

    def test_a_control_that_does_not_answer_is_left_after_30_seconds(self):
        release, destination = "Busy.Control-GRP", r"E:\ftp\mp3\Busy.Control-GRP"
        self.place_release(r"E:\ftp\pre\Same Drive", release)
        log = self.site.linux_path(INSTALL_DIR + "\\ovpre.log")
        original = self.site.settings_bytes()
        self.site.write_settings(original + b"logfile=" + INSTALL_DIR.encode() + b"\\ovpre.log" +
                                 CRLF)
        started = time.monotonic()
        try:  # the control keeps the call for "a.nfo" five minutes
            self.run_pre("SameDrive", release, "130", env={"OVPRE_CONTROL_BLOCK_ON": "\\a.nfo"})
        finally:
            self.site.write_settings(original)
        self.assertLess(time.monotonic() - started, 60)
        self.assertEqual(self.site.reply("pre", "130"),
                         reply(success(release, destination) + CRLF + OWNERSHIP_LINE))
        self.assertEqual(self.site.announce(), announcement(release, "SameDrive", destination))
        with open(log, "rb") as f:
            text = f.read()
        os.remove(log)
        self.assertIn(b"\tset ownership " + destination.encode() + b"\\a.nfo\\*: the server's "
                      b"control did not answer within 30 s", text)

    def test_unregistered_control_is_reported_not_fatal(self):
        release, destination = "No.Control-GRP", r"E:\ftp\mp3\No.Control-GRP"
        owndir = r"E:\ftp\pre\Same Drive"
        self.place_release(owndir, release)
        self.site.unregister_control()
        try:
            self.run_pre("SameDrive", release, "106")
        finally:
            self.site.register_control()
        self.assertEqual(self.site.reply("pre", "106"),
                         reply(success(release, destination) + CRLF + OWNERSHIP_LINE))
        self.assert_moved(owndir + "\\" + release, destination)
        self.assertEqual(self.site.control_log(), [])
        self.assertEqual(self.site.announce(), announcement(release, "SameDrive", destination))

    def test_log_names_the_hresult_of_creating_an_unregistered_control(self):
        release = "Logged.Control-GRP"
        self.place_release(r"E:\ftp\pre\Same Drive", release)
        settings = self.site.linux_path(INSTALL_DIR + "\\ovpre.ini")
        log = self.site.linux_path(INSTALL_DIR + "\\ovpre.log")
        original = self.site.settings_bytes()
        with open(settings, "ab") as f:
            f.write(b"logfile=" + INSTALL_DIR.encode() + b"\\ovpre.log" + CRLF)
        self.site.unregister_control()
        try:
            self.run_pre("SameDrive", release, "109")
        finally:
            self.site.register_control()
            with open(settings, "wb") as f:
                f.write(original)
        with open(log, "rb") as f:
            text = f.read()
        os.remove(log)
        self.assertRegex(text, re.compile(
            rb"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\tpre\tSameDrive\tLogged\.Control-GRP\tfailed\t"
            rb"Logged\.Control-GRP was successfully pre'd to:\tmoved\t-\t-\t\d+\t"
            rb"create control: RaidenModeX is not registered on this machine \(is RaidenFTPD "
            rb"installed here\?\): HRESULT 0x80040154[^\t\r\n]*\r\n$"))

    def test_control_that_cannot_be_created_is_reported(self):
        release, destination = "No.Server-GRP", r"E:\ftp\mp3\No.Server-GRP"
        self.place_release(r"E:\ftp\pre\Same Drive", release)
        self.site.break_control_class()
        try:
            self.run_pre("SameDrive", release, "108")
        finally:
            self.site.register_control()
        self.assertEqual(self.site.reply("pre", "108"),
                         reply(success(release, destination) + CRLF + OWNERSHIP_LINE))
        self.assertEqual(self.site.control_log(), [])

    def test_two_letters_of_one_volume_rename_the_release(self):
        release, destination = "Two.Letters-GRP", r"G:\ftp\mp3\Two.Letters-GRP"
        owndir = r"E:\ftp\pre\TwoLetters"
        self.place_release(owndir, release)
        inode = os.stat(self.site.linux_path(owndir + "\\" + release)).st_ino
        self.run_pre("TwoLetters", release, "109")
        self.assertEqual(self.site.reply("pre", "109"), reply(success(release, destination)))
        self.assert_moved(owndir + "\\" + release, destination)
        # The same folder, renamed: a copy would be a new one.
        self.assertEqual(os.stat(self.site.linux_path(destination)).st_ino, inode)
        self.assertEqual(self.site.control_log(),
                         self.expected_owner_calls("TwoLetters", destination))

    def test_reply_and_announce_written_while_a_reader_holds_the_old_ones(self):
        release, destination = "Held.Open-GRP", r"E:\ftp\mp3\Held.Open-GRP"
        self.place_release(r"E:\ftp\pre\Same Drive", release)
        reply_file = r"E:\raiden\Output\site-pre.110"
        announce_file = r"E:\raiden\windrop\announce.dat"
        for path in (reply_file, announce_file):
            write_tree(self.site.linux_path(path.rsplit("\\", 1)[0]),
                       {path.rsplit("\\", 1)[1]: b"an older and much longer text " * 20})
        let_go = self.site.hold_open([reply_file, announce_file])
        try:
            self.run_pre("SameDrive", release, "110")
        finally:
            let_go()
        self.assertEqual(self.site.reply("pre", "110"), reply(success(release, destination)))
        self.assertEqual(self.site.announce(), announcement(release, "SameDrive", destination))

    def test_a_line_without_the_program_name(self):
        release, destination = "No.Name-GRP", r"E:\ftp\mp3\No.Name-GRP"
        owndir = r"E:\ftp\pre\Same Drive"
        self.place_release(owndir, release)
        line = pre_line("SameDrive", owndir, "111", release).split(" ", 1)[1]
        self.run_pre("SameDrive", release, "111", command_line=line)
        self.assertEqual(self.site.reply("pre", "111"), reply(success(release, destination)))
        self.assert_moved(owndir + "\\" + release, destination)

    def test_device_names_and_short_aliases_are_no_releases(self):
        owndir = r"E:\ftp\pre\Same Drive"
        long_name = "Some.Long.Release-GRP"
        devices = ("CON", "nul.Rel", ".OVPRE-work")
        refusals = {}
        for name in devices:
            self.place_release(owndir, name, {"x.nfo": b"x"})
            refusals[name] = b"Invalid release name: " + name.encode()
        self.place_release(owndir, long_name)
        alias = self.site.short_name(owndir + "\\" + long_name)
        self.assertIsNotNone(alias, "Wine gave no short alias")
        alias = alias.rsplit("\\", 1)[1]
        refusals[alias] = b"Unable to find: " + alias.encode()
        for number, (name, message) in enumerate(refusals.items()):
            tag = str(112 + number)
            self.run_pre("SameDrive", name, tag)
            self.assertEqual(self.site.reply("pre", tag), reply(message))
        for name in devices:
            path = self.site.linux_path(owndir + "\\" + name)
            self.assertEqual(read_tree(path), {"x.nfo": b"x"})
            shutil.rmtree(path)
        path = self.site.linux_path(owndir + "\\" + long_name)
        self.assertEqual(read_tree(path), RELEASE_TREE)
        shutil.rmtree(path)
        self.assertEqual(self.site.control_log(), [])

    def test_refusal_moves_nothing_and_calls_nobody(self):
        release = "Wrong.Place-GRP"
        owndir = r"E:\ftp\pre\Same Drive"
        self.place_release(owndir, release)
        line = pre_line("SameDrive", owndir + "\\", "107", release)
        self.assertEqual(self.site.run(line), 0)
        self.assertEqual(self.site.reply("pre", "107"),
                         reply(b"You must be on your own directory" + CRLF + b"to pre a release."))
        self.assertEqual(read_tree(self.site.linux_path(owndir + "\\" + release)), RELEASE_TREE)
        self.assertEqual(self.site.control_log(), [])


class SfvCheckTests(SiteTestCase):
    """A group with sfvcheck=1, added to the settings for these tests only."""
    OWNDIR = r"E:\ftp\pre\SfvGroup"

    def setUp(self):
        super().setUp()
        self.original = self.site.settings_bytes()
        lines = ["group=SfvGroup", "owndir=" + self.OWNDIR, r"todir=E:\ftp\mp3", "dated=0",
                 "newowner=admin:admins", "newperms=666", "sfvcheck=1"]
        self.site.write_settings(self.original + b"".join(l.encode() + CRLF for l in lines))

    def tearDown(self):
        self.site.write_settings(self.original)

    def test_complete_release_passes_damaged_one_is_refused_names_match_without_case(self):
        first, second = bytes(range(256)) * 40, b"second track"
        # The sfv file spells the names in another case than the files.
        sfv = (b"; by hand" + CRLF + b"track 01.mp3 %08X" % zlib.crc32(first) + CRLF +
               b"TRACK02.MP3 %08x" % zlib.crc32(second) + CRLF)
        tree = {"a.nfo": b"nfo", "CD1/Track 01.MP3": first, "CD1/track02.mp3": second,
                "CD1/release.SFV": sfv, "Sample/s.avi": b"avi"}
        damaged = dict(tree)
        del damaged["CD1/Track 01.MP3"]
        damaged["CD1/track02.mp3"] = b"second trick"
        refusal = (b"Release is incomplete, nothing was moved:" + CRLF +
                   b"missing: CD1\\track 01.mp3" + CRLF + b"bad crc: CD1\\track02.mp3" + CRLF +
                   b"1 missing, 1 bad of 2 files.")
        in_use = (b"Error moving folder -- the destination path probably" + CRLF +
                  b"already exists." + CRLF + b"Reason: a file in the release is in use.")
        cases = [("Complete.Sfv-GRP", tree, None, "120", None),
                 ("Damaged.Sfv-GRP", damaged, refusal, "121", None),
                 ("Uploading.Sfv-GRP", tree, in_use, "122", "CD1\\release.SFV")]
        for release, files, refused, tag, uploading in cases:
            with self.subTest(release):
                source = self.OWNDIR + "\\" + release
                destination = r"E:\ftp\mp3" + "\\" + release
                write_tree(self.site.linux_path(source), files)
                line = pre_line("SfvGroup", self.OWNDIR, tag, release)
                let_go = (self.site.hold_open([source + "\\" + uploading], write=True)
                          if uploading else lambda: None)
                try:
                    self.assertEqual(self.site.run(line), 0)
                finally:
                    let_go()
                if refused is None:
                    self.assertEqual(self.site.reply("pre", tag), reply(success(release, destination)))
                    self.assert_moved(source, destination, files)
                else:
                    self.assertEqual(self.site.reply("pre", tag), reply(refused))
                    self.assertEqual(read_tree(self.site.linux_path(source)), files)
                    self.assertFalse(os.path.exists(self.site.linux_path(destination)))
                    shutil.rmtree(self.site.linux_path(source))


class RecordTests(SiteTestCase):
    """A group with a pre record: Debian's sqlite3 reads what the Windows
    program wrote, and an unpre brings a release back across drives."""
    OWNDIR = r"E:\ftp\pre\Recorded"

    def setUp(self):
        super().setUp()
        self.original = self.site.settings_bytes()
        # Its folder is missing: the program makes it, private.
        self.db = self.site.linux_path(INSTALL_DIR + r"\private\pres.db")
        lines = [r"predb=private\pres.db", "group=Recorded", "owndir=" + self.OWNDIR,
                 r"todir=F:\archive", "dupedays=3", "unpremins=5", "newowner=admin:admins",
                 "newperms=666"]
        os.makedirs(self.site.linux_path(self.OWNDIR), exist_ok=True)
        self.site.write_settings(self.original + b"".join(l.encode() + CRLF for l in lines))

    def tearDown(self):
        self.site.write_settings(self.original)
        shutil.rmtree(os.path.dirname(self.db), ignore_errors=True)

    def sql(self, query):
        return subprocess.run(["sqlite3", self.db, query], check=True, capture_output=True,
                              text=True).stdout

    def test_a_recorded_pre_is_read_by_sqlite3_and_taken_back_across_drives(self):
        release, destination = "Recorded.Rel-GRP", r"F:\archive\Recorded.Rel-GRP"
        self.place_release(self.OWNDIR, release)
        line = pre_line("Recorded", self.OWNDIR, "150", release)
        self.assertEqual(self.site.run(line), 0)
        self.assertEqual(self.site.reply("pre", "150"), reply(success(release, destination)))
        files = sum(1 for data in RELEASE_TREE.values() if data is not None)
        size = sum(len(data) for data in RELEASE_TREE.values() if data is not None)
        self.assertEqual(self.sql("SELECT release, group_name, path, files, bytes, "
                                  "unpre_time IS NULL FROM pres"),
                         f"{release}|Recorded|{destination}|{files}|{size}|1\n")
        self.assertRegex(self.sql("SELECT pre_time FROM pres"),
                         r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\n$")
        self.assertEqual(self.site.run(line.replace("|pre ", "|unpre ").replace("150", "151")), 0)
        back = self.OWNDIR + "\\" + release
        self.assertEqual(self.site.reply("unpre", "151"),
                         reply(release.encode() + b" was taken back to:" + CRLF + back.encode()))
        self.assert_moved(destination, back)
        self.assertEqual(self.sql("SELECT unpre_time IS NOT NULL FROM pres"), "1\n")
        self.assertEqual(self.site.announce(), (
            b">> \x02MySite\x02 << Unpre: \x02" + release.encode() + b" \x02from\x02 Recorded" +
            CRLF + b">> Taken back from " + destination.encode() + CRLF))
        shutil.rmtree(self.site.linux_path(back))


class PreaddTests(SiteTestCase):
    def test_preadd_appends_a_group_that_the_next_run_uses(self):
        before = self.site.settings_bytes()
        fields = ["NewGrp", r"E:\ftp\pre\NewGrp", r"F:\archive", "0", "new:owners", "640"]
        line = f"ovpre.exe 0|Admins|0|201|E:\\|preadd {'*'.join(fields)}"
        self.assertEqual(self.site.run(line), 0)
        self.assertEqual(self.site.reply("preadd", "201"), reply(CRLF.join([
            b"Sucessfully added NewGrp as a pre group.",
            b"Name: NewGrp",
            b"Home folder: E:\\ftp\\pre\\NewGrp",
            b"Pre to: F:\\archive",
            b"Date foramt: 0",
            b"Owner user & group: new:owners",
            b"New Permissions after pre: 640",
        ])))
        keys = ["group", "owndir", "todir", "dated", "newowner", "newperms"]
        appended = b"".join(f"{k}={v}".encode() + CRLF for k, v in zip(keys, fields))
        self.assertEqual(self.site.settings_bytes(), before + appended)
        self.site.added.append(tuple(fields))

        release = "After.Add-GRP"
        self.place_release(fields[1], release, {"f.nfo": b"f"})
        line = pre_line("NewGrp", fields[1], "202", release)
        self.assertEqual(self.site.run(line), 0)
        destination = "F:\\archive\\" + release
        self.assertEqual(self.site.reply("pre", "202"), reply(success(release, destination)))
        self.assertEqual(self.site.control_log(), self.expected_owner_calls("NewGrp", destination))

    def test_utf8_settings_with_a_mark_and_a_non_ascii_group_folder(self):
        before = self.site.settings_bytes()
        owndir, todir = "E:\\ftp\\pre\\Gr\u00fc\u00dfe", "E:\\ftp\\M\u00fcsik"
        keys = ["group", "owndir", "todir", "dated", "newowner", "newperms"]
        group = ["Umlaut", owndir, todir, "0", "admin:admins", "666"]
        text = before.decode("cp1252") + "".join(f"{k}={v}\r\n" for k, v in zip(keys, group))
        os.makedirs(self.site.linux_path(todir), exist_ok=True)
        release = "Utf8.Rel-GRP"
        self.place_release(owndir, release, {"f.nfo": b"f"})
        self.site.write_settings(b"\xef\xbb\xbf" + text.encode("utf-8"))
        try:
            self.assertEqual(self.site.run(pre_line("Umlaut", owndir, "204", release)), 0)
            destination = todir + "\\" + release
            self.assertEqual(self.site.reply("pre", "204"), reply(success(release, destination)))
            self.assert_moved(owndir + "\\" + release, destination, {"f.nfo": b"f"})
            # A group is added in the file's own encoding.
            fields = ["Caf\u00e9Grp", "E:\\ftp\\pre\\Caf\u00e9", r"F:\archive", "0", "u:g", "640"]
            line = f"ovpre.exe 0|Admins|0|205|E:\\|preadd {'*'.join(fields)}"
            self.assertEqual(self.site.run(line), 0)
            self.assertTrue(self.site.reply("preadd", "205").startswith(
                reply(b"Sucessfully added Caf\xe9Grp as a pre group.")[:-2]))
            text += "".join(f"{k}={v}\r\n" for k, v in zip(keys, fields))
            self.assertEqual(self.site.settings_bytes(), b"\xef\xbb\xbf" + text.encode("utf-8"))
            # A field the system code page lacks ("\u0141") is refused: the
            # reply could not say what was written.
            line = "ovpre.exe 0|Admins|0|206|E:\\|preadd \u0141*E:\\x*F:\\y*0*u:g*640"
            self.assertEqual(self.site.run(line), 0)
            self.assertTrue(self.site.reply("preadd", "206").startswith(
                reply(b"Usage: Site preadd")[:-2]))
            self.assertEqual(self.site.settings_bytes(), b"\xef\xbb\xbf" + text.encode("utf-8"))
        finally:
            self.site.write_settings(before)

    def test_preadd_without_access_is_refused(self):
        before = self.site.settings_bytes()
        line = "ovpre.exe 0|Admins|1|203|E:\\|preadd A*B*C*1*u:g*666"
        self.assertEqual(self.site.run(line), 0)
        self.assertEqual(self.site.reply("preadd", "203"),
                         reply(b"Sorry, you do not have access to this command."))
        self.assertEqual(self.site.settings_bytes(), before)


class CheckTests(SiteTestCase):
    def report(self):
        return self.site.read_or_none(INSTALL_DIR + "\\ovpre-check.txt").split(CRLF)

    def test_check_reports_into_a_file_beside_the_program_and_changes_nothing(self):
        before = self.site.settings_bytes()
        self.assertEqual(self.site.run("ovpre.exe CHECK"), 0)
        self.assertIn(b"groups loaded: 5, findings: 0", self.report())
        # Quoted and with a slash, as a shortcut may pass it; the control's
        # finding says in words what is wrong.
        self.site.unregister_control()
        try:
            self.assertEqual(self.site.run('ovpre.exe "/check" '), 1)
        finally:
            self.site.register_control()
        self.assertIn(b"the server's control cannot be created: RaidenModeX is not registered "
                      b"on this machine (is RaidenFTPD installed here?): HRESULT 0x80040154",
                      [line[:137] for line in self.report()])
        self.assertEqual(self.site.settings_bytes(), before)


class ControlValueTests(SiteTestCase):
    """Groups whose owner or permissions the control cannot use, added to
    the settings for these tests only."""
    GROUPS = [("BadOwner", r"E:\ftp\pre\BadOwner", "admin:", "666"),
              ("BadPerms", r"E:\ftp\pre\BadPerms", "admin:admins", "999")]

    def setUp(self):
        super().setUp()
        self.original = self.site.settings_bytes()
        lines = ["logfile=ovpre.log"]
        for name, owndir, owner, perms in self.GROUPS:
            lines += [f"group={name}", f"owndir={owndir}", r"todir=E:\ftp\mp3", "dated=0",
                      f"newowner={owner}", f"newperms={perms}"]
        self.site.write_settings(self.original + b"".join(l.encode() + CRLF for l in lines))

    def tearDown(self):
        self.site.write_settings(self.original)
        log = self.site.linux_path(INSTALL_DIR + "\\ovpre.log")
        if os.path.exists(log):
            os.remove(log)

    def test_values_the_control_cannot_use_are_never_handed_to_it(self):
        for number, (name, owndir, owner, perms) in enumerate(self.GROUPS):
            with self.subTest(name):
                release, tag = name + ".Rel-GRP", str(150 + number)
                destination = r"E:\ftp\mp3" + "\\" + release
                self.place_release(owndir, release, {"f.nfo": b"f"})
                self.assertEqual(self.site.run(pre_line(name, owndir, tag, release)), 0)
                self.assertEqual(self.site.reply("pre", tag),
                                 reply(success(release, destination) + CRLF + OWNERSHIP_LINE))
                self.assert_moved(owndir + "\\" + release, destination, {"f.nfo": b"f"})
                self.assertEqual(self.site.control_log(), [])
        with open(self.site.linux_path(INSTALL_DIR + "\\ovpre.log"), "rb") as f:
            text = f.read()
        self.assertIn(b'\tset ownership: the server\'s control is not given the owner "admin:" and '
                      b'permissions "666"', text)
        self.assertIn(b'the owner "admin:admins" and permissions "999"', text)
        # The check names both, each on its line.
        self.assertEqual(self.site.run("ovpre.exe check"), 1)
        report = self.site.read_or_none(INSTALL_DIR + "\\ovpre-check.txt").split(CRLF)
        logfile = self.original.count(CRLF) + 1  # the first line added
        self.assertIn(b'line %d: newowner "admin:" is not a user or user:group with both named, '
                      b'so owner and permissions are never set' % (logfile + 5), report)
        self.assertIn(b'line %d: newperms "999" is not 1 to 4 octal digits, so owner and '
                      b'permissions are never set' % (logfile + 12), report)


class IgnoredRequestTests(SiteTestCase):
    def test_other_site_commands_and_unsafe_tags_leave_no_trace(self):
        owndir = r"E:\ftp\pre\Same Drive"
        release = "Untouched-GRP"
        self.place_release(owndir, release)
        settings = self.site.settings_bytes()
        outputs = self.site.output_files()
        announce = self.site.announce()
        for word in ("prex", "who", "pre"):
            # "pre " with the space right after the word is a different word.
            text = f"{word} {release}" if word != "pre" else "pre "
            self.assertEqual(self.site.run(f"ovpre.exe 0|SameDrive|0|301|{owndir}|{text}"), 0)
        # A tag that could lead the reply out of Output ends the run unanswered:
        # "\..\..\ovpre.ini" would replace the settings file with a reply.
        for tag in ("\\..\\..\\ovpre.ini", "..", "x/../../y", "C:x", "a:b"):
            for text in (f"pre {release}", "preadd A*E:\\a*E:\\b*0*u:g*1"):
                self.assertEqual(self.site.run(f"ovpre.exe 0|SameDrive|0|{tag}|{owndir}|{text}"), 0)
        self.assertEqual(self.site.output_files(), outputs)
        self.assertEqual(self.site.settings_bytes(), settings)
        self.assertEqual(self.site.announce(), announce)
        self.assertEqual(read_tree(self.site.linux_path(owndir + "\\" + release)), RELEASE_TREE)
        self.assertEqual(self.site.control_log(), [])


def main():
    global SITE
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ovpre", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--drive-e", required=True)
    parser.add_argument("--drive-f", required=True)
    args, rest = parser.parse_known_args()
    second_letter = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "g:")
    if os.path.lexists(second_letter):
        os.remove(second_letter)
    os.symlink(args.drive_e, second_letter)
    # H: is a folder of F:'s file system as a drive: a target at a drive's root.
    root_h = os.path.join(args.drive_f, "root-h")
    shutil.rmtree(root_h, ignore_errors=True)
    os.makedirs(root_h)
    root_letter = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "h:")
    if os.path.lexists(root_letter):
        os.remove(root_letter)
    os.symlink(root_h, root_letter)
    drives = {"E": args.drive_e, "F": args.drive_f, "G": args.drive_e, "H": root_h}
    SITE = WineSite(args.ovpre, args.tools, drives, GROUPS)
    SITE.install()
    result = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False).result
    print(f"e2e: {result.testsRun - len(result.failures) - len(result.errors)} passed, "
          f"{len(result.failures) + len(result.errors)} failed, {len(result.skipped)} skipped")
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
