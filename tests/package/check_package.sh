#!/usr/bin/env bash
# Builds the Debian package from a build tree into a temporary directory and checks it as a user
# would get it: the file list, the dependencies, and the unpacked program answering MCP.
#   check_package.sh CPACK BUILD_DIR SOURCE_DIR VERSION SOVERSION
# Exit 77 (skipped) only when a packaging tool is missing.
set -euo pipefail
cpack=$1 build=$2 source=$3 version=$4 soversion=$5

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

for tool in "$cpack" dpkg dpkg-deb dpkg-shlibdeps dpkg-query file readelf python3; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup installs it)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quillbox-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- build -----------------------------------------------------------------------------------
# gzip instead of the release's xz: the same package, a fifth of the compression time for the
# large unoptimised binaries of the test builds.
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/out" -D CPACK_DEBIAN_COMPRESSION_TYPE=gzip \
  >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
deb="$work/out/quillbox_${version}_${arch}.deb"
[ -f "$deb" ] || fail "expected $(basename "$deb"), cpack made: $(ls "$work/out")"
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

[ "$(dpkg-deb -f "$deb" Package)" = quillbox ] || fail "package name: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version: $(dpkg-deb -f "$deb" Version)"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "architecture: $(dpkg-deb -f "$deb" Architecture)"

# --- file list: the program, its private libraries, README, copyright, the man page (when the
# build made one: not in the sanitized builds) and bash completion; nothing else --------------
root="$work/root"
dpkg-deb -x "$deb" "$root"
expected="$work/expected" actual="$work/actual"
{
  echo ./usr/bin/quillbox
  echo ./usr/share/doc/quillbox/README.md
  echo ./usr/share/doc/quillbox/copyright
  echo ./usr/share/bash-completion/completions/quillbox
  [ ! -f "$build/man/quillbox.1.gz" ] || echo ./usr/share/man/man1/quillbox.1.gz
  for lib in "$build"/lib/libquillbox_*.so."$version"; do
    name=$(basename "$lib")
    echo "./usr/lib/quillbox/$name"
    echo "./usr/lib/quillbox/${name%.so.*}.so.$soversion"
  done
} | sort >"$expected"
(cd "$root" && find . -mindepth 1 ! -type d | sort) >"$actual"
diff -u "$expected" "$actual" || fail "file list differs from the expected one (- expected, + packaged)"
cmp -s "$root/usr/share/doc/quillbox/README.md" "$source/README.md" || fail "README.md is not the source's"
cmp -s "$root/usr/share/doc/quillbox/copyright" "$source/LICENSE" || fail "copyright is not the source's LICENSE"
cmp -s "$root/usr/share/bash-completion/completions/quillbox" "$source/completions/quillbox.bash" ||
  fail "the bash completion is not the source's"
# The man page is the program's help: every command has its part.
if [ -f "$root/usr/share/man/man1/quillbox.1.gz" ]; then
  page=$(zcat "$root/usr/share/man/man1/quillbox.1.gz")
  grep -q '^\.TH QUILLBOX "1"' <<<"$page" || fail "the man page has no .TH QUILLBOX 1 header"
  for command in serve install uninstall status reindex config model doctor hook; do
    grep -q "^\.SS $command\$" <<<"$page" || fail "the man page has no part for '$command'"
  done
fi

# The program finds its libraries through its own RUNPATH, never through the build tree.
runpath=$(readelf -d "$root/usr/bin/quillbox" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN/../lib/quillbox' ] || fail "RUNPATH of quillbox: '$runpath'"
if grep -rl --binary-files=binary -F "$build/lib" "$root/usr" >/dev/null; then
  fail "a packaged file refers to the build tree: $(grep -rl -F "$build/lib" "$root/usr")"
fi
ldd_out=$(env -u LD_LIBRARY_PATH ldd "$root/usr/bin/quillbox")
if grep -q 'not found' <<<"$ldd_out"; then fail "unresolved libraries: $(grep 'not found' <<<"$ldd_out")"; fi
while read -r lib _ path _; do
  [[ $(realpath "$path") == "$root/usr/lib/quillbox/"* ]] || fail "$lib resolves to $path, not to the package"
done < <(grep 'libquillbox_' <<<"$ldd_out")

# --- dependencies: computed by dpkg-shlibdeps, every one a package of this Debian ------------
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
grep -qE '(^|, )libc6 \(>=' <<<"$depends" || fail "Depends lacks a versioned libc6: not computed from the binaries?"
if ! grep -qx 'VERSION_ID="12"' /etc/os-release 2>/dev/null; then
  echo "note: not Debian 12; dependencies are checked against this system's packages"
fi
satisfied() {  # one alternative: "name" or "name (op version)"
  local name op want have
  read -r name op want <<<"$(sed -E 's/^ *([^ (]+) *(\((<<|<=|=|>=|>>) *([^)]+)\))? *$/\1 \3 \4/' <<<"$1")"
  have=$(dpkg-query -W -f='${db:Status-Status} ${Version}' "$name" 2>/dev/null || true)
  if [[ $have == "installed "* ]]; then
    [ -z "$op" ] && return 0
    case $op in '<<') op=lt ;; '<=') op=le ;; '=') op=eq ;; '>=') op=ge ;; '>>') op=gt ;; esac
    dpkg --compare-versions "${have#installed }" "$op" "$want"
  else
    apt-cache show "$name" >/dev/null 2>&1  # known to this system's package lists
  fi
}
IFS=',' read -ra groups <<<"$depends"
for group in "${groups[@]}"; do
  ok=0
  IFS='|' read -ra alternatives <<<"$group"
  for alternative in "${alternatives[@]}"; do
    if satisfied "$alternative"; then ok=1; break; fi
  done
  [ "$ok" = 1 ] || fail "dependency '${group# }' names no package of this system"
done

# --- the unpacked program, found on PATH, starts and answers initialize -----------------------
mkdir -p "$work/home" "$work/project"
run() { env -u LD_LIBRARY_PATH HOME="$work/home" PATH="$root/usr/bin:$PATH" timeout 60 quillbox "$@"; }
[ "$(PATH="$root/usr/bin:$PATH" command -v quillbox)" = "$root/usr/bin/quillbox" ] || fail "quillbox on PATH is not the unpacked one"
version_line=$(run --version)
echo "--version: $version_line"
[[ $version_line == "quillbox $version (revision "*")" ]] || fail "--version printed '$version_line'"
if git -C "$source" rev-parse HEAD >/dev/null 2>&1 && [[ $version_line == *"(revision unknown)" ]]; then
  fail "built from a git checkout, but the revision is unknown"
fi

request='{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"package-test","version":"1"}}}'
answer=$(run serve --root "$work/project" <<<"$request" 2>"$work/serve.log") ||
  { cat "$work/serve.log" >&2; fail "quillbox serve exited with $?"; }
python3 - "$answer" "$version" <<'EOF' || { cat "$work/serve.log" >&2; fail "no valid initialize answer: $answer"; }
import json, sys
answer = json.loads(sys.argv[1].splitlines()[0])
result = answer["result"]
assert answer["id"] == 1, answer
assert result["serverInfo"]["name"] == "quillbox", result
assert result["serverInfo"]["version"] == sys.argv[2], result
assert result["protocolVersion"] == "2025-06-18", result
assert "tools" in result["capabilities"], result
EOF
echo "package ok"
