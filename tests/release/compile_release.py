"""Compiles sources of a build tree again with the release flags and -Werror.

  compile_release.py BUILD_DIR RELEASE_FLAGS SOURCE...

Each source's command comes from BUILD_DIR/compile_commands.json; its optimisation, debug and
sanitizer flags are replaced by RELEASE_FLAGS, and the object goes nowhere."""
import json
import shlex
import subprocess
import sys
from pathlib import Path

build, release_flags, sources = Path(sys.argv[1]), shlex.split(sys.argv[2]), sys.argv[3:]
entries = {str(Path(e["directory"], e["file"]).resolve()): e
           for e in json.loads((build / "compile_commands.json").read_text())}

def release_command(entry):
    args = shlex.split(entry["command"])
    if Path(args[0]).name in ("ccache", "sccache"):
        args = args[1:]
    out, skip_next = [], False
    for a in args:
        if skip_next:
            skip_next = False
            continue
        if a == "-o":
            skip_next = True
            continue
        if a.startswith(("-O", "-fsanitize", "-fno-sanitize", "-fno-omit-frame-pointer")) or a in ("-g", "-DNDEBUG"):
            continue
        out.append(a)
    return out[:1] + release_flags + ["-Werror"] + out[1:] + ["-o", "/dev/null"]

failed = 0
for source in sources:
    entry = entries.get(str(Path(source).resolve()))
    if entry is None:
        print(f"{source}: not compiled in this build tree")
        failed = 1
        continue
    result = subprocess.run(release_command(entry), cwd=entry["directory"], capture_output=True, text=True)
    if result.returncode != 0:
        print(f"{source}: warnings or errors with the release flags:\n{result.stderr}")
        failed = 1
    else:
        print(f"{source}: clean with {' '.join(release_flags)} -Werror")
sys.exit(failed)
