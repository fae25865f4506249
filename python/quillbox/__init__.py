"""The quillbox program as installed from the wheel: the console entry runs the binary that
lives inside this package (bin/quillbox, its libraries in lib/quillbox and quillbox.libs)."""
import os
import sys

__all__ = ["main", "program"]


def program() -> str:
    """The path of the bundled quillbox program."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin", "quillbox")


def main() -> None:
    exe = program()
    env = dict(os.environ)
    # The program takes a `quillbox` on PATH that is this launcher for itself, so that
    # `quillbox install` writes entries without this machine's paths.
    env["QUILLBOX_LAUNCHER"] = os.path.abspath(sys.argv[0])
    try:
        os.execve(exe, [exe, *sys.argv[1:]], env)
    except OSError as e:
        sys.exit(f"quillbox: cannot run {exe}: {e}")
