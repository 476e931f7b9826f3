"""What the Linux-against-Windows comparisons share: where each build is,
and whether the Windows side can run here at all."""
import os
import shutil

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LINUX = os.path.join(ROOT, os.environ.get("CORV_LINUX_BUILD", "build/default"))
WINDOWS = os.path.join(ROOT, os.environ.get("CORV_WINDOWS_BUILD", "build/windows"))
SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests


def windows_missing():
    """Why the Windows side cannot run (a program not built, no Wine), or
    None when it can."""
    for program in (os.path.join(WINDOWS, "standins", "host", "hostsim", "hostsim.exe"),
                    os.path.join(WINDOWS, "addon", "corvanta.dll"),
                    os.path.join(WINDOWS, "standins", "velmar", "velmar.exe")):
        if not os.path.exists(program):
            return "the Windows build has no %s (cmake --preset windows && cmake --build --preset windows)" % program
    if shutil.which("wine64") is None and shutil.which("wine") is None:
        return "Wine is not installed"
    return None
