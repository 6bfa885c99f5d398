#!/bin/sh
# Writes the manual page of kzmnt-cli (section 1) from its --help text: the first lines, up
# to the first empty one, are the synopsis, the rest the description.
#   man-page.sh KZMNT_CLI VERSION > kzmnt-cli.1
set -eu
cli=$1
version=$2
help=$("$cli" --help)
printf '.TH KZMNT-CLI 1 "" "kzmnt %s" "User Commands"\n' "$version"
printf '.SH NAME\nkzmnt-cli \\- back up, restore and verify KZ operator panels\n'
printf '.SH SYNOPSIS\n.nf\n'
printf '%s\n' "$help" | sed -n '1,/^$/p' | sed -e 's/\\/\\\\/g' -e 's/^\./\\\&./' -e '/^$/d'
printf '.fi\n.SH DESCRIPTION\n.nf\n'
printf '%s\n' "$help" | sed '1,/^$/d' | sed -e 's/\\/\\\\/g' -e 's/^\./\\\&./'
printf '.fi\n.SH SEE ALSO\nkzmnt(1), kzpanel-sim(1)\n'
