"""A private X display (Xvfb), an optional tray host (trayer) and the desktop
program started on a prepared store, for the desktop program's end-to-end tests
and the screenshot script. Everything is a child process stopped by its owner."""

import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pop3_harness as h

APP = Path(os.environ.get("GLIMMERFEN_APP", h.REPO / "out" / "bin" / "glimmerfen"))
MAIN_TITLE = "Glimmerfen!"


def missing_tools() -> list:
    return [tool for tool in ("Xvfb", "trayer", "xdotool", "xwininfo")
            if shutil.which(tool) is None]


class Display:
    """Xvfb on the first free display number from 90, local connections only."""

    def __init__(self, root: Path, size: str = "1024x768x24"):
        self.root = Path(root)
        self.size = size
        self.number = next(n for n in range(90, 190)
                           if not Path(f"/tmp/.X11-unix/X{n}").exists()
                           and not Path(f"/tmp/.X{n}-lock").exists())
        self.name = f":{self.number}"
        self.child = None

    def env(self) -> dict:
        runtime = self.root / "runtime"
        runtime.mkdir(mode=0o700, exist_ok=True)
        env = dict(os.environ, DISPLAY=self.name, QT_QPA_PLATFORM="xcb",
                   XDG_RUNTIME_DIR=str(runtime))
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        return env

    def start(self):
        self.child = h.Child(["Xvfb", self.name, "-screen", "0", self.size, "-nolisten", "tcp"],
                             self.root / "xvfb.log")
        h.wait_until(lambda: Path(f"/tmp/.X11-unix/X{self.number}").exists(), h.START_TIMEOUT,
                     "Xvfb socket", self.child.process)
        h.wait_until(lambda: self.run("xwininfo", "-root").returncode == 0, h.START_TIMEOUT,
                     "Xvfb answers", self.child.process)
        return self

    def run(self, *args, timeout: float = 20.0):
        return subprocess.run([str(a) for a in args], env=self.env(), capture_output=True,
                              text=True, timeout=timeout, check=False)

    def tree(self) -> str:
        return self.run("xwininfo", "-root", "-tree").stdout

    def visible_windows(self, title: str) -> list:
        found = self.run("xdotool", "search", "--onlyvisible", "--name", f"^{re.escape(title)}$")
        return found.stdout.split()

    def stop(self):
        if self.child is not None:
            self.child.stop()
            self.child = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class TrayHost:
    """trayer docked at the top right, as a desktop's notification area."""

    def __init__(self, display: Display):
        self.display = display
        self.child = None

    def start(self):
        self.child = h.Child(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                              "request", "--height", "24", "--SetDockType", "true"],
                             self.display.root / "trayer.log", env=self.display.env())
        h.wait_until(lambda: '"panel": ("panel" "trayer")' in self.display.tree(),
                     h.START_TIMEOUT, "trayer panel", self.child.process)
        return self

    def embedded_windows(self) -> list:
        """The windows docked in the panel (one per tray icon), as xwininfo lines."""
        lines = self.display.tree().splitlines()
        docked, panel_indent = [], None
        for line in lines:
            indent = len(line) - len(line.lstrip())
            if '"panel": ("panel" "trayer")' in line:
                panel_indent = indent
                continue
            if panel_indent is not None:
                if indent <= panel_indent and line.strip():
                    panel_indent = None
                elif re.search(r'\("[^"]*" "[^"]*"\)', line):
                    docked.append(line.strip())
        return docked

    def stop(self):
        if self.child is not None:
            self.child.stop()
            self.child = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class DesktopApp(h.Proxy):
    """A store prepared with glimmerfen-cli and the desktop program run on it,
    in its directory, on the given display."""

    def __init__(self, root: Path, display: Display, pop3_port: int = 110, **kwargs):
        if not os.access(APP, os.X_OK):
            raise h.HarnessError(f"{APP} is not an executable; build the project first")
        super().__init__(root, pop3_port, **kwargs)
        (self.dir / "backup").mkdir(exist_ok=True)
        self.display = display

    def launch(self) -> h.Child:
        return h.Child([APP, "--data-dir", self.dir], self.dir / "app.log",
                       env=self.display.env(), cwd=self.dir)

    def start(self):
        self.child = self.launch()
        try:
            h.wait_listening(self.local_port, process=self.child.process)
        except h.HarnessError as error:
            code = self.stop()
            raise h.HarnessError(f"{error} (exit {code})\n{self.app_log()[-4000:]}") from None
        return self

    def app_log(self) -> str:
        path = self.dir / "app.log"
        return path.read_bytes().decode("latin-1") if path.exists() else ""


def temporary_root(prefix: str) -> tempfile.TemporaryDirectory:
    return tempfile.TemporaryDirectory(prefix=prefix)
