"""A throwaway FTP site inside a Wine prefix, for the end-to-end tests and the
Windows demo: the program and its settings in C:\\ovpre-e2e, the server
folder, group folders and targets on drives E: and F:, the test double of the
server's control registered, and requests started as the server starts them.
"""
import datetime
import os
import shutil
import subprocess
import tempfile
import time

CRLF = b"\r\n"
# What the program passes for each call, as the control double records it.
OWNER_CALL_TYPES = "BSTR&,BSTR,BSTR&,BSTR,I2,I2"

INSTALL_DIR = "C:\\ovpre-e2e"
SERVER_DIR = "E:\\raiden"
ANNOUNCE_FILE = SERVER_DIR + "\\windrop\\announce.dat"
CONTROL_LOG = INSTALL_DIR + "\\control.log"
CONTROL_DLL = INSTALL_DIR + "\\raidenmodex_double.dll"
CONTROL_CLASS_KEY = "HKCR\\CLSID\\{6F1D7C52-3B8E-4F0A-9C1E-52A0D4B7E903}"
RUN_TIMEOUT_SECONDS = 60
# The Wine loader the scripts chose (the 32-bit one or the 64-bit one).
WINE = os.environ.get("OVPRE_WINE", "wine")


def write_tree(root, tree):
    """Creates `tree` ({"dir/file": bytes, "dir/": None}) under `root`."""
    for relative, content in tree.items():
        path = os.path.join(root, *relative.rstrip("/").split("/"))
        if content is None:
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def read_tree(root):
    """The tree under `root` in the form write_tree takes; empty folders
    appear as "name/", folders with content only through their files."""
    tree = {}
    for folder, dirs, files in os.walk(root):
        relative = os.path.relpath(folder, root).replace(os.sep, "/")
        prefix = "" if relative == "." else relative + "/"
        if not dirs and not files and prefix:
            tree[prefix] = None
        for name in files:
            with open(os.path.join(folder, name), "rb") as f:
                tree[prefix + name] = f.read()
    return tree


class WineSite:
    def __init__(self, ovpre_exe, tools_dir, drive_roots, groups):
        self.ovpre_exe = ovpre_exe
        self.tools_dir = tools_dir
        self.drive_roots = {k.upper(): v for k, v in drive_roots.items()}
        self.drive_roots["C"] = os.path.join(os.environ["WINEPREFIX"], "drive_c")
        self.groups = groups
        self.added = []  # groups added by preadd during the run
        self.env = dict(os.environ)
        self.env.setdefault("WINEDEBUG", "-all")
        self.env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        # Wine takes the Windows code page from the Linux locale; this one
        # gives code page 1252, which the expected file bytes are written in.
        self.env["LC_ALL"] = "C.UTF-8"
        self.env["OVPRE_CONTROL_LOG"] = CONTROL_LOG

    def linux_path(self, windows_path):
        drive, rest = windows_path.split(":", 1)
        parts = [p for p in rest.split("\\") if p]
        return os.path.join(self.drive_roots[drive.upper()], *parts)

    # Setting up

    def install(self):
        for folder in (INSTALL_DIR, "E:\\ftp", SERVER_DIR, "F:\\archive"):
            shutil.rmtree(self.linux_path(folder), ignore_errors=True)
        install = self.linux_path(INSTALL_DIR)
        os.makedirs(install)
        shutil.copy(self.ovpre_exe, os.path.join(install, "ovpre.exe"))
        for tool in ("launch.exe", "dirlist.exe", "holdopen.exe", "raidenmodex_double.dll",
                     "decoy.tlb"):
            shutil.copy(os.path.join(self.tools_dir, tool), install)
        for folder in (SERVER_DIR + "\\Output", SERVER_DIR + "\\windrop", "E:\\ftp\\mp3",
                       "F:\\archive"):
            os.makedirs(self.linux_path(folder), exist_ok=True)
        for group in self.groups:
            os.makedirs(self.linux_path(group[1]), exist_ok=True)
        self.write_settings(self.settings_text())
        self.register_control()

    def write_settings(self, data):
        with open(os.path.join(self.linux_path(INSTALL_DIR), "ovpre.ini"), "wb") as f:
            f.write(data)

    def settings_text(self):
        lines = [";ovpre end-to-end site", "[FTPD]", "raidendir=" + SERVER_DIR,
                 "announcefile=" + ANNOUNCE_FILE, "sitename=MySite", ""]
        for name, owndir, todir, dated, owner, perms in self.groups:
            lines += [f"group={name}", f"owndir={owndir}", f"todir={todir}",
                      f"dated={dated}", f"newowner={owner}", f"newperms={perms}", ""]
        return b"".join(line.encode("cp1252") + CRLF for line in lines)

    def register_control(self):
        self.wine(["regsvr32", "/s", CONTROL_DLL], check=True)

    def unregister_control(self):
        self.wine(["regsvr32", "/u", "/s", CONTROL_DLL], check=True)

    def break_control_class(self):
        """Leaves the type library registered but the class without its
        server, so the control is found and cannot be created."""
        self.wine(["reg", "delete", CONTROL_CLASS_KEY + "\\InprocServer32", "/f"], check=True)

    def date_folders(self, parent, pattern):
        """Creates the date folders of today and tomorrow under `parent` (so
        a run across midnight still finds one) and returns a function that
        tells which of them received `release`."""
        days = [datetime.date.today() + datetime.timedelta(days=n) for n in (0, 1)]
        folders = [parent + "\\" + pattern.format(y=d.year, m=d.month, d=d.day) for d in days]
        for folder in folders:
            os.makedirs(self.linux_path(folder), exist_ok=True)

        def destination_of(release):
            for folder in folders:
                if os.path.isdir(self.linux_path(folder + "\\" + release)):
                    return folder + "\\" + release
            return folders[0] + "\\" + release
        return destination_of

    # Running

    def wine(self, args, check=False, env=None):
        """Runs a Windows program; its output is in .stdout and .stderr."""
        run_env = dict(self.env, **(env or {}))
        # Files, not pipes: a Wine background process that inherits a pipe
        # would keep it open, and reading it would wait for that process.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run([WINE] + args, env=run_env, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, timeout=RUN_TIMEOUT_SECONDS + 60)
            out.seek(0)
            err.seek(0)
            result.stdout, result.stderr = out.read(), err.read()
        if check and result.returncode != 0:
            raise RuntimeError(f"wine {args} failed with {result.returncode}: "
                               f"{result.stderr.decode(errors='replace')}")
        return result

    def run(self, command_line, env=None):
        """Starts ovpre.exe with `command_line` exactly (program name
        included) and returns its exit code."""
        request = os.path.join(self.linux_path(INSTALL_DIR), "request.txt")
        with open(request, "wb") as f:
            f.write(command_line.encode("utf-8"))
        result = self.wine([INSTALL_DIR + "\\launch.exe", INSTALL_DIR + "\\ovpre.exe",
                            INSTALL_DIR + "\\request.txt", str(RUN_TIMEOUT_SECONDS)], env=env)
        return result.returncode

    def hold_open(self, windows_paths, write=False):
        """Holds the files open as a reader that does not share deletion (or,
        with `write`, as an upload still being written), until the returned
        function is called."""
        ready = os.path.join(self.linux_path(INSTALL_DIR), "held.ready")
        release = os.path.join(self.linux_path(INSTALL_DIR), "held.release")
        for flag in (ready, release):
            if os.path.exists(flag):
                os.remove(flag)
        holder = subprocess.Popen(
            ["wine", INSTALL_DIR + "\\holdopen.exe"] + ["--write"] * write + [
             INSTALL_DIR + "\\held.ready",
             INSTALL_DIR + "\\held.release"] + windows_paths,
            env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + RUN_TIMEOUT_SECONDS
        while not os.path.exists(ready):
            if holder.poll() is not None or time.monotonic() > deadline:
                holder.kill()
                raise RuntimeError("holdopen.exe did not open " + ", ".join(windows_paths))
            time.sleep(0.05)

        def let_go():
            open(release, "wb").close()
            holder.wait(timeout=RUN_TIMEOUT_SECONDS)
        return let_go

    def short_name(self, windows_path):
        """The short 8.3 form of a path, or None when there is none."""
        result = self.wine([INSTALL_DIR + "\\holdopen.exe", "--short", windows_path])
        text = result.stdout.decode("utf-8").strip()
        return text if result.returncode == 0 and text != windows_path else None

    def directory_search(self, pattern):
        """(name, attributes) in the order a Windows directory search gives."""
        result = self.wine([INSTALL_DIR + "\\dirlist.exe", pattern], check=True)
        entries = []
        for line in result.stdout.decode("utf-8").splitlines():
            name, attributes = line.rstrip("\r").rsplit("\t", 1)
            entries.append((name, int(attributes, 16)))
        return entries

    # Looking at the results

    def read_or_none(self, windows_path):
        try:
            with open(self.linux_path(windows_path), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def reply(self, command, tag):
        return self.read_or_none(f"{SERVER_DIR}\\Output\\site-{command}.{tag}")

    def announce(self):
        return self.read_or_none(ANNOUNCE_FILE)

    def settings_bytes(self):
        return self.read_or_none(INSTALL_DIR + "\\ovpre.ini")

    def output_files(self):
        return read_tree(self.linux_path(SERVER_DIR + "\\Output"))

    def control_log(self):
        """One line per control call, without its line end."""
        text = self.read_or_none(CONTROL_LOG)
        return text.decode("utf-8").splitlines() if text else []

    def clear_control_log(self):
        try:
            os.remove(self.linux_path(CONTROL_LOG))
        except FileNotFoundError:
            pass
