#!/usr/bin/env bash
# The desktop entry and the MIME data validate with the desktop's own tools; the manual page names
# every option and command the program's --help names, and no option the program lacks; the bash
# completion completes commands, options, --set names and presets from the program itself.
# Usage: check_docs.sh PROGRAM SOURCE_DIR. Exit 77 (skipped) when a tool is missing.
set -euo pipefail
program=$1; src=$2
res="$src/resources"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for tool in desktop-file-validate update-mime-database groff; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed (scripts/install-deps.sh installs it)"; exit 77; }
done
status=0
fail() { echo "FAIL: $*"; status=1; }

# --- desktop entry: valid, and every type it opens is known to the system's database or ours.
out=$(desktop-file-validate "$res/desktop/brightloom.desktop" 2>&1) || fail "desktop-file-validate: $out"
[[ -z "$out" ]] || fail "desktop-file-validate warns: $out"
mkdir -p "$scratch/mime/packages"
cp /usr/share/mime/packages/freedesktop.org.xml "$res/desktop/brightloom.xml" "$scratch/mime/packages/"
out=$(update-mime-database -n "$scratch/mime" 2>&1) || fail "update-mime-database: $out"
# (It notes that the scratch folder is not on the data path; anything else is a problem.)
! grep -qiE 'warn|error|invalid|unknown' <<<"$out" || fail "update-mime-database warns: $out"
types=$(sed -n 's/^MimeType=//p' "$res/desktop/brightloom.desktop" | tr ';' '\n' | sed '/^$/d')
for t in $types; do
  grep -qx "$t" "$scratch/mime/types" || grep -q "^$t " "$scratch/mime/aliases" || fail "MimeType $t is not a known type"
done
for glob in 'image/vnd.radiance:\*.hdr' 'image/vnd.radiance:\*.pic' 'image/x-portable-floatmap:\*.pfm'; do
  grep -q ":${glob}\$" "$scratch/mime/globs2" || fail "no glob ${glob//\\/} in the MIME data"
done
for t in image/vnd.radiance image/x-portable-floatmap; do
  grep -qa "$t" "$scratch/mime/magic" || fail "no magic for $t"
done

# --- manual page: renders without warnings, and agrees with --help.
page="$res/man/brightloom.1"
out=$(groff -man -ww -z "$page" 2>&1) || fail "groff: $out"
[[ -z "$out" ]] || fail "groff warns: $out"
# The page's text with roff's escapes undone (\- is a hyphen, \fB... change fonts).
text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\(en/-/g' "$page")
commands=$("$program" --help | sed -n '/^[Ss][Uu][Bb][Cc][Oo][Mm][Mm][Aa][Nn][Dd][Ss]:/,/^$/p' | grep -oE '^  [a-z]+' | tr -d ' ')
[[ -n "$commands" ]] || fail "no commands found in brightloom --help"
help_options=""
for cmd in "" $commands; do
  # The option column of each row of the options list: "  -o,--output TEXT  ...".
  opts=$("$program" $cmd --help | grep -E '^ +-' | sed -E 's/^ +//; s/ .*//' | tr ',' '\n' | grep -E '^-')
  for o in $opts; do
    help_options+="$o "$'\n'
    grep -qE -- "(^|[^-A-Za-z])$o([^-A-Za-z]|\$)" <<<"$text" || fail "the manual page does not name ${cmd:+$cmd }$o"
  done
done
for cmd in $commands; do
  grep -q "^\.SS \"brightloom $cmd" "$page" || fail "the manual page has no section for '$cmd'"
done
for o in $(grep -oE -- '(^|[ "])--?[a-z][-a-z0-9]*' <<<"$text" | sed 's/^[ "]*//' | sort -u); do
  grep -qx -- "$o " <<<"$help_options" || fail "the manual page names $o, which no --help names"
done

# --- bash completion, from the program in its build or installed folder.
bash_out=$(PATH="$(dirname "$program"):$PATH" bash -c '
  source "$1"
  complete_line() { COMP_WORDS=($2); COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 )); [[ $2 == *" " ]] && { COMP_WORDS+=(""); COMP_CWORD=$(( COMP_CWORD + 1 )); }; _brightloom; echo "$1: ${COMPREPLY[*]}"; }
  complete_line cmd "brightloom e"
  complete_line opt "brightloom render --pre"
  complete_line set "brightloom render --set Stre"
  complete_line preset "brightloom render --preset "
  complete_line editopt "brightloom edit --"
' _ "$res/completion/brightloom" 2>&1)
grep -q '^cmd: edit$' <<<"$bash_out" || fail "completion of commands: $bash_out"
grep -q '^opt: --preset$' <<<"$bash_out" || fail "completion of options: $bash_out"
grep -q '^set: Strength=$' <<<"$bash_out" || fail "completion of --set names: $bash_out"
grep -qE '^preset: .*Natural' <<<"$bash_out" || fail "completion of presets: $bash_out"
grep -qE '^editopt: .*--quality' <<<"$bash_out" || fail "completion of edit's options: $bash_out"
grep -qE '^editopt: .*--jobs' <<<"$bash_out" && fail "completion offers render's options to edit: $bash_out"
[[ $status -eq 0 ]] && echo "desktop entry, MIME data, manual page ($(wc -w <<<"$help_options") options) and completion agree"
exit $status
