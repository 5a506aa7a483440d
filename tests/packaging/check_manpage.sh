#!/usr/bin/env bash
# check_manpage.sh CLI PAGE: every verb that `CLI --help` lists has a
# subsection (.SS VERB) under COMMANDS in the roff source PAGE, every option
# and positional argument that `CLI VERB --help` prints is named in that
# subsection, the global options are named in the page, and every subsection
# of COMMANDS is a verb the program has. Prints each miss; exit 1 on any.
set -euo pipefail
cli="$1"
page="$2"

# The page's text with the font and hyphen escapes taken out, so that
# \fB\-\-slow\fR reads --slow. Held in a variable: a pipe into grep -q could
# end early and fail under pipefail.
plain_text="$(sed -e 's/\\f[BIRP]//g; s/\\f(..//g; s/\\-/-/g; s/\\&//g; s/\\%//g' "$page")"
plain() {
  printf '%s\n' "$plain_text"
}

# Names from a CLI11 help text: the words at the start of the lines of a
# section ("Options:", "Positionals:", "Subcommands:").
section_words() {
  awk -v want="$1" '
    /^[A-Z][A-Za-z]*:$/ { on = ($0 == want); next }
    on && /^  [^ ]/ { print $1 }
  '
}

options_of() {
  # "-h,--help" and "--image" alike: every long option named on the line.
  section_words "Options:" | tr ',' '\n' | grep -E '^--[a-z0-9-]+$' || true
}

# The text of a verb's subsection: from ".SS VERB" to the next .SS or .SH.
subsection() {
  plain | awk -v verb="$1" '
    /^\.S[HS] / { on = ($0 == ".SS " verb); next }
    on { print }
  '
}

misses=0
miss() {
  echo "$page: $*" >&2
  misses=$((misses + 1))
}

top_help="$("$cli" --help)"
verbs="$(section_words "Subcommands:" <<<"$top_help")"
[ -n "$verbs" ] || { echo "no verbs in '$cli --help'" >&2; exit 1; }

for opt in $(options_of <<<"$top_help"); do
  grep -qE -- "(^|[^a-z0-9-])$opt([^a-z0-9-]|$)" <<<"$plain_text" || miss "option $opt is not described"
done

for verb in $verbs; do
  text="$(subsection "$verb")"
  if [ -z "$text" ]; then
    miss "verb $verb has no subsection (.SS $verb)"
    continue
  fi
  help="$("$cli" "$verb" --help)"
  for opt in $(options_of <<<"$help"); do
    [ "$opt" = --help ] && continue  # every verb takes it; OPTIONS says so
    grep -qE -- "(^|[^a-z0-9-])$opt([^a-z0-9-]|$)" <<<"$text" || miss "$verb: option $opt is not described"
  done
  for arg in $(section_words "Positionals:" <<<"$help"); do
    grep -qE -- "(^|[^A-Z_])$arg([^A-Z_]|$)" <<<"$text" || miss "$verb: argument $arg is not described"
  done
done

# And no subsection for a verb the program does not have.
for ss in $(plain | awk '/^\.SH / { on = ($0 == ".SH COMMANDS"); next } on && /^\.SS / { print $2 }'); do
  grep -qxF -- "$ss" <<<"$verbs" || miss "subsection $ss names no verb of $cli"
done

if ((misses)); then
  echo "$misses misses: the manual page and '$cli --help' disagree" >&2
  exit 1
fi
echo "$(wc -w <<<"$verbs") verbs, their options and arguments are all in $page"
