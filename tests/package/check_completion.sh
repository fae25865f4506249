#!/usr/bin/env bash
# The bash completion as bash-completion runs it, against the program's own help: every command
# and every option the help names is offered, and the values it knows are completed.
#   check_completion.sh QUILLBOX SOURCE_DIR
# Exit 77 (skipped) when bash-completion is not installed.
set -uo pipefail
exe=$1 source=$2
[ -f /usr/share/bash-completion/bash_completion ] ||
  { echo "SKIPPED: bash-completion is not installed (scripts/setup installs it)"; exit 77; }
# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion
# shellcheck disable=SC1091
source "$source/completions/quillbox.bash"
work=$(mktemp -d "${TMPDIR:-/tmp}/quillbox-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
ln -s "$exe" "$work/quillbox"  # the completion asks `quillbox` for config keys and models
PATH="$work:$PATH"
cd "$work" || exit 1
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# The words offered for a command line typed up to its end.
offered() {
  COMP_LINE="$1"
  COMP_POINT=${#COMP_LINE}
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _quillbox quillbox "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
expect() {  # LINE WORDS…: exactly these are offered
  local want got
  want=$(printf '%s\n' "${@:2}" | sort | tr '\n' ' ')
  got=$(offered "$1")
  [ "$got" = "$want" ] || fail "'$1' offers '$got', expected '$want'"
}
expect "quillbox ins" install
expect "quillbox install --client c" claude codex cursor
expect "quillbox model " list pull --help
expect "quillbox config get pricing_m" pricing_model
expect "quillbox serve --log-level w" warning

# Every command of the help, and every option of each command's help.
commands=$(quillbox --help | sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([a-z-]*\) .*/\1/p')
[ -n "$commands" ] || fail "no commands found in quillbox --help"
top=" $(offered "quillbox ") "
for command in $commands; do
  [[ $top == *" $command "* ]] || fail "the command '$command' is not offered"
  options=" $(offered "quillbox $command --") "
  for option in $(quillbox "$command" --help | grep -oE '(^|[ ,])--[a-z-]+' | tr -d ' ,' | sort -u); do
    [[ $options == *" $option "* ]] || fail "'quillbox $command' does not offer $option"
  done
done
[ "$failures" = 0 ] || exit 1
echo "completion ok"
