#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The bash completion of a program offers exactly the options its --help
# lists, and, for an option shown as "--name a|b", exactly those values.
# usage: completion_test.sh PROGRAM COMPLETION-SCRIPT
set -euo pipefail
program=$1
name=$(basename "$program")
# shellcheck source=/dev/null
source "$2"
function=$(complete -p "$name" | grep -oE -- '-F [^ ]+' | cut -d' ' -f2)

# What the completion offers for the words so far, the last being completed.
offered() {
    COMP_WORDS=("$name" "$@")
    COMP_CWORD=$#
    "$function"
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

help=$("$program" --help)
listed=$(grep -oE '^ +(-[a-z], )?--[a-z-]+' <<<"$help" | grep -oE -- '--?[a-z][a-z-]*' | sort)
test -n "$listed"
if [ "$(offered -)" != "$listed" ]; then
    echo "$name: the completion offers"; offered -
    echo "but --help lists"; echo "$listed"
    exit 1
fi
status=0
while read -r option values; do
    expected=$(tr '|' '\n' <<<"$values" | sort)
    if [ "$(offered "$option" '')" != "$expected" ]; then
        echo "$name $option: the completion offers '$(offered "$option" '')', --help '$values'"
        status=1
    fi
done < <(grep -oE -- '--[a-z-]+ [a-z0-9]+(\|[a-z0-9]+)+' <<<"$help")
echo "$name: $(wc -l <<<"$listed") options offered as --help lists them"
exit $status
