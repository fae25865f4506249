#!/usr/bin/env bash
# Builds the wheel with scripts/wheel and checks it as a user would get it.
#   check_wheel.sh SOURCE_DIR WORK_DIR PYTHON SDK_VENV VERSION
# Exit 77 (skipped) when PyPI cannot be reached (the build tools come from there) or the SDK's
# virtual environment was not set up (its fixture skipped for the same reason).
set -uo pipefail
source=$1 work=$2 python=$3 sdk_venv=$4 version=$5
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
[ -x "$sdk_venv/bin/python" ] || skip "the MCP SDK's virtual environment is missing (no PyPI?)"

# --- build ------------------------------------------------------------------------------------
started=$(date +%s)
if ! "$source/scripts/wheel" "$work/dist" >"$work/wheel.log" 2>&1; then
  if ! "$python" -m pip --disable-pip-version-check index versions scikit-build-core >/dev/null 2>&1; then
    skip "PyPI cannot be reached for the wheel's build tools"
  fi
  cat "$work/wheel.log" >&2
  fail "scripts/wheel failed"
fi
echo "scripts/wheel: $(($(date +%s) - started)) s"
wheels=("$work"/dist/quillbox-*.whl)
[ ${#wheels[@]} = 1 ] && [ -f "${wheels[0]}" ] || fail "expected one wheel in $work/dist: ${wheels[*]}"
wheel=${wheels[0]}
name=$(basename "$wheel")
echo "wheel: $name, $(stat -c %s "$wheel") bytes"
[[ $name =~ ^quillbox-${version//./\\.}-py3-none-manylinux_2_[0-9]+_x86_64\.whl$ ]] ||
  fail "wheel name $name is not quillbox-$version-py3-none-manylinux_<glibc>_x86_64"

# --- a fresh virtual environment holding nothing but the wheel ---------------------------------
venv="$work/venv"
rm -rf "$venv"
"$python" -m venv "$venv" || fail "cannot create a virtual environment"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-index "$wheel" ||
  fail "pip could not install $name"
entry="$venv/bin/quillbox"
[ -x "$entry" ] || fail "the wheel has no quillbox console entry"
package=$("$venv/bin/python" -c 'import quillbox, os; print(os.path.dirname(quillbox.__file__))')
program=$("$venv/bin/python" -c 'import quillbox; print(quillbox.program())')
[ -x "$program" ] || fail "no program at $program"
version_line=$(env -u LD_LIBRARY_PATH "$entry" --version) || fail "quillbox --version failed"
[[ $version_line == "quillbox $version (revision "* ]] || fail "--version printed '$version_line'"

# --- nothing from outside the wheel but the C and C++ runtime ----------------------------------
# The C and C++ runtime and the few libraries every manylinux policy lets a wheel take from the
# system (zlib among them; glibc's NSS modules load at run time).
system='^(libc|libm|libmvec|libstdc\+\+|libgcc_s|libatomic|libpthread|libdl|librt|libanl|libutil|libresolv|libnsl|libz|libexpat|ld-linux-x86-64|linux-vdso|libnss_[a-z]+)\.so'
site=$(realpath "$venv")
checked=0
while IFS= read -r elf; do
  checked=$((checked + 1))
  out=$(env -u LD_LIBRARY_PATH ldd "$elf" 2>&1) || fail "ldd $elf: $out"
  if grep -q 'not found' <<<"$out"; then fail "$elf: unresolved libraries: $(grep 'not found' <<<"$out")"; fi
  while read -r lib _ path _; do
    [[ $lib =~ $system ]] && continue
    [[ $(realpath "$path") == "$site/"* ]] || fail "$(basename "$elf") loads $lib from $path, outside the wheel"
  done < <(grep '=>' <<<"$out")
done < <(find "$package" "$package.libs" -type f \( -name '*.so*' -o -path '*/bin/quillbox' \) 2>/dev/null)
[ "$checked" -ge 2 ] || fail "found only $checked ELF files in the installed wheel"
echo "ldd: $checked files, every library in the wheel or the C/C++ runtime"

# The same for what the running server has mapped (libraries opened at run time included).
mkdir -p "$work/project"
fifo="$work/in"
rm -f "$fifo" && mkfifo "$fifo"
env -u LD_LIBRARY_PATH "$entry" serve --root "$work/project" <"$fifo" >"$work/serve.out" 2>"$work/serve.err" &
server=$!
exec 3>"$fifo"
printf '%s\n' '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"wheel-test","version":"1"}}}' >&3
for _ in $(seq 50); do grep -q '"id":1' "$work/serve.out" 2>/dev/null && break; sleep 0.1; done
grep -q '"serverInfo"' "$work/serve.out" || { cat "$work/serve.err" >&2; fail "no answer to initialize"; }
[ "$(realpath "/proc/$server/exe")" = "$(realpath "$program")" ] || fail "the entry did not exec the program"
while read -r path; do
  [[ $(basename "$path") =~ $system ]] && continue
  [[ $(realpath "$path") == "$site/"* ]] || fail "the server has $path mapped, outside the wheel"
done < <(awk '$6 ~ /\.so/ {print $6}' "/proc/$server/maps" | sort -u)
exec 3>&-
wait "$server" || fail "serve exited with $?"

# --- an MCP session through the console entry, with the official SDK ---------------------------
# PATH holds the wheel's entry and the system's programs only; no library path.
env -u LD_LIBRARY_PATH PATH="$venv/bin:/usr/bin:/bin" \
  "$sdk_venv/bin/python" "$source/tests/e2e/sdk_session.py" modern "$entry" || fail "the SDK session failed"
echo "wheel ok"
