#!/usr/bin/env bash
# completion_test.sh KORVANE_CLI COMPLETION_DIR
# The shell completion of korvane-cli against the built program: bash through
# bash-completion as an interactive shell runs it, fish through its own
# `complete -C`, zsh's parsing of the help texts directly.
set -euo pipefail
cli=$(realpath "$1")
completion=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-completion-XXXXXX")
trap 'rm -rf "$work"' EXIT
PATH=$(dirname "$cli"):$PATH
export PATH
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# An image whose names need care: a space, a symbolic link, a hard link.
mkdir -p "$work/tree/etc" "$work/tree/with space"
echo "127.0.0.1 localhost" >"$work/tree/etc/hosts"
echo x >"$work/tree/with space/a b.txt"
ln -s etc/hosts "$work/tree/link"
ln "$work/tree/etc/hosts" "$work/tree/etc/hosts2"
image=$work/image.ext4
mke2fs -q -t ext4 -d "$work/tree" "$image" 4M >/dev/null 2>&1
mkdir "$work/cwd"
touch "$work/cwd/out.tar" "$work/cwd/other.img"
cd "$work/cwd"

[[ -f /usr/share/bash-completion/bash_completion ]] || {
    echo "bash-completion is not installed (scripts/deps installs it)" >&2
    exit 1
}

# bash_complete WORD...: what bash offers for the last word, one a line, as
# bash-completion runs the function when Tab is pressed.
bash_complete() {
    bash -c '
        source /usr/share/bash-completion/bash_completion
        source "$0"
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        _korvane_cli korvane-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}"' "$completion/korvane-cli.bash" "$@"
}

# expect SHELL_OUTPUT EXPECTED_LINES... : every expected line is offered;
# expect_only: nothing else is.
expect() {
    local got=$1 what=$2
    shift 2
    local line
    for line in "$@"; do
        grep -qxF -- "$line" <<<"$got" || fail "$what: \"$line\" not offered, got: $(tr '\n' '|' <<<"$got")"
    done
}
expect_only() {
    local got=$1 what=$2
    shift 2
    expect "$got" "$what" "$@"
    local n
    n=$(grep -c . <<<"$got" || true)
    [[ $n -eq $# ]] || fail "$what: $n offered where $# were expected: $(tr '\n' '|' <<<"$got")"
}

# bash: commands and options come from the program's help.
commands=$("$cli" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][-a-z0-9]*\) .*/\1/p')
# shellcheck disable=SC2086
expect_only "$(bash_complete korvane-cli "")" "bash: commands" $commands
expect_only "$(bash_complete korvane-cli ls --js)" "bash: ls --js" --json
expect "$(bash_complete korvane-cli extract -)" "bash: extract options" -C --directory --tar \
    --page-size --quiet --verbose
# The save types as the program lists them: every format's writer.
types=$(korvane-cli convert --help | sed -n 's/.*--to TEXT:{\([^}]*\)}.*/\1/p' | tr ',' ' ')
[[ -n "$types" ]] || fail "convert --help lists no save types"
# shellcheck disable=SC2086
expect_only "$(bash_complete korvane-cli convert in out --to "")" "bash: --to" $types
expect_only "$(bash_complete korvane-cli convert --ecc n)" "bash: --ecc n" none nand
# shellcheck disable=SC2086
expect_only "$(bash_complete korvane-cli convert --to = e)" "bash: --to=e" \
    $(printf '%s\n' $types | grep '^e')
# Files where a file goes, not after a command that takes none.
expect_only "$(bash_complete korvane-cli extract "$image" --tar o)" "bash: --tar FILE" \
    other.img out.tar
expect "$(bash_complete korvane-cli ls "")" "bash: IMAGE" out.tar other.img
# Paths inside the image: folders end in a slash, names are quoted, links
# lose their " -> target" and hard links their " link to PATH".
expect_only "$(bash_complete korvane-cli ls "$image" /)" "bash: image root" \
    /etc/ "/with\\ space/" "/link " "/lost+found/"
expect_only "$(bash_complete korvane-cli cat "$image" /etc/ho)" "bash: /etc/ho" \
    "/etc/hosts " "/etc/hosts2 "
expect_only "$(bash_complete korvane-cli -q extract -C out "$image" /etc/hosts wi)" \
    "bash: relative path after options" "with\\ space/"
expect_only "$(bash_complete korvane-cli getfattr "$image" "with space/a")" \
    "bash: inside a folder with a space" "with\\ space/a\\ b.txt "
expect_only "$(bash_complete korvane-cli ls "$work/none.img" /)" "bash: unreadable image"

# zsh: the _arguments lines made of the help texts.
if command -v zsh >/dev/null; then
    zsh -n "$completion/_korvane-cli" || fail "zsh: syntax"
    zargs=$(zsh -c '
        autoload -U compinit && compinit -u -D
        source "$1" 2>/dev/null
        _korvane_cli_option_args "$(korvane-cli convert --help)"
        _korvane_cli_positional_args "$(korvane-cli extract --help)"' _ "$completion/_korvane-cli")
    expect "$zargs" "zsh: _arguments" \
        "--to=[Format to write (default: the image's own)]:to:($types)" \
        "--sparse[Write an Android sparse image]" \
        "--out-page-size=[YAFFS2: bytes per NAND page (512 to 16384)]:out-page-size: " \
        "1:image:_files" "*:path in the image:->imagepath"
else
    echo "zsh is not installed: its completion is not checked" >&2
fi

# fish: complete -C is what fish offers at Tab.
if command -v fish >/dev/null; then
    fish_complete() {
        fish -c 'source $argv[1]; complete -C"$argv[2]"' "$completion/korvane-cli.fish" "$1" |
            cut -f1
    }
    fish -n "$completion/korvane-cli.fish" || fail "fish: syntax"
    # shellcheck disable=SC2086
    expect_only "$(fish_complete "korvane-cli ")" "fish: commands" $commands
    # shellcheck disable=SC2086
    expect_only "$(fish_complete "korvane-cli pack in out --to ")" "fish: --to" $types
    expect_only "$(fish_complete "korvane-cli ls $image /etc/")" "fish: /etc/" \
        /etc/hosts /etc/hosts2
    expect "$(fish_complete "korvane-cli edit x -e 'mk")" "fish: edit commands" mkdir mknod
else
    echo "fish is not installed: its completion is not checked" >&2
fi

[[ $failures -eq 0 ]] || exit 1
echo "completion: every case passed"
