"""The Wine side of a session on this Linux machine: a 64-bit prefix made
once as a template (COM1 mapped through the registry, HKLM\\Software\\Wine\\Ports)
and cloned per session with its COM ports pointed at the simulators'
links, the prefix's own wineserver, and an Xvfb display. Everything started
here is a child of the caller's, stopped by PID."""
import os
import shutil
import signal
import subprocess
import time

from fwu_testkit import process
from fwu_testkit.wineloader import WINE64, WineError, fill_syswow64

WINESERVER = "/usr/lib/wine/wineserver"

# The path the template prefix maps COM1 to; each copy is pointed at a link
# of its own (clone_prefix).
TEMPLATE_LINK = "/nonexistent/fwu-com1-template-link"


def wine_env(prefix, display=None, extra=None):
    """The environment of every Wine process of prefix; extra adds to it
    (a Loader's env)."""
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")  # no Mono or Gecko install prompts
    env.update(extra or {})
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def start_wineserver(prefix):
    """A persistent wineserver for prefix, in the foreground of a child we own."""
    server = process.start([WINESERVER, "-f", "-p"], env=wine_env(prefix),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.3)
    return server


def stop_wineserver(prefix, server):
    """Ends every Wine process of prefix, then the server we started."""
    if server is None:
        return
    subprocess.run([WINESERVER, "-k"], env=wine_env(prefix), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    try:
        server.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.stop(server, sig=signal.SIGKILL)


def make_template(prefix, log=None):
    """Creates a fresh 64-bit prefix with COM1 mapped through the registry
    (the mount manager rewrites dosdevices links at start-up, the registry
    mapping it honours) and Wine drawing window frames itself, as there is
    no window manager; its syswow64 filled where wineboot could not
    (fill_syswow64: returns how many links it made). Takes some seconds."""
    if os.path.exists(prefix):
        shutil.rmtree(prefix)
    os.makedirs(os.path.dirname(os.path.abspath(prefix)), exist_ok=True)
    server = start_wineserver(prefix)
    try:
        out = open(log, "ab") if log else subprocess.DEVNULL
        subprocess.run([WINE64, "wineboot", "-i"], env=wine_env(prefix), stdout=out,
                       stderr=out, timeout=300, check=True)
        settings = os.path.join(os.path.dirname(os.path.abspath(prefix)), "fwu-settings.reg")
        with open(settings, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n"
                    "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"
                    f"\"COM1\"=\"{TEMPLATE_LINK}\"\n\n"
                    "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"
                    "\"Managed\"=\"N\"\n")
        subprocess.run([WINE64, "regedit", "/S", settings], env=wine_env(prefix), stdout=out,
                       stderr=out, timeout=120, check=True)
        os.remove(settings)
    finally:
        stop_wineserver(prefix, server)
    text = open(os.path.join(prefix, "system.reg"), encoding="utf-8", errors="replace").read()
    if TEMPLATE_LINK not in text:
        raise WineError("the COM1 mapping did not reach the template's registry")
    return fill_syswow64(prefix)


def clone_prefix(template, prefix, com1_link):
    """A private copy of the template: hard links for the (read-only) Windows
    files, real copies of the registry files, COM1 pointed at com1_link."""
    if os.path.exists(prefix):
        shutil.rmtree(prefix)
    subprocess.run(["cp", "-al", template, prefix], check=True)
    for name in os.listdir(template):
        if name.endswith(".reg"):
            text = open(os.path.join(template, name), encoding="utf-8", errors="surrogateescape").read()
            target = os.path.join(prefix, name)
            os.remove(target)
            with open(target, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write(text.replace(TEMPLATE_LINK, com1_link))
            shutil.copystat(os.path.join(template, name), target)


def clone_prefix_ports(template, prefix, links):
    """clone_prefix with COM1, COM2, ... mapped to links in turn, for a tool
    that drives several devices at once. The further ports go into the
    registry file beside COM1 (HKLM\\Software\\Wine\\Ports), so no Wine
    process has to run for them."""
    if not links or len(links) > 9:
        raise WineError("map 1 to 9 COM ports")
    for link in links:
        if any(c in link for c in '\\"\n'):  # the registry file's own escapes
            raise WineError(f"not a plain path for a COM port: {link!r}")
    clone_prefix(template, prefix, links[0])
    path = os.path.join(prefix, "system.reg")
    text = open(path, encoding="utf-8", errors="surrogateescape").read()
    com1 = f'"COM1"="{links[0]}"\n'
    if text.count(com1) != 1:
        raise WineError("the prefix has no single COM1 mapping to add ports beside")
    more = "".join(f'"COM{n}"="{link}"\n' for n, link in enumerate(links[1:], 2))
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(text.replace(com1, com1 + more))


def start_display(log_path):
    """Xvfb on the first free display number (it picks and tells us)."""
    read_end, write_end = os.pipe()
    log = open(log_path, "ab")
    server = process.start(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=log, stderr=log)
    os.close(write_end)
    number = b""
    deadline = time.time() + 30
    with os.fdopen(read_end, "rb") as pipe:
        while not number.endswith(b"\n") and time.time() < deadline:
            chunk = pipe.read(1)
            if not chunk:
                break
            number += chunk
    if not number.strip().isdigit():
        process.stop(server)
        raise WineError("Xvfb did not start")
    return server, ":" + number.strip().decode()
