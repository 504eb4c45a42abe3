# bash completion for korvane-cli                          -*- shell-script -*-
#
# Commands, options and the values an option takes are read from the
# program's own --help, so they follow the korvane-cli that is installed.
# Paths inside an image are completed from `korvane-cli ls` of the folder
# being typed, which costs one scan of the image; a scan that takes longer
# than two seconds gives no completion rather than a stuck prompt.

# _korvane_cli_help PROGRAM [COMMAND]: the help text, without errors.
_korvane_cli_help()
{
    "$@" --help 2>/dev/null
}

# The commands of a top-level help text, one a line.
_korvane_cli_commands()
{
    local line in_list=""
    while IFS= read -r line; do
        if [[ $line == Subcommands: ]]; then
            in_list=1
        elif [[ $in_list && $line =~ ^\ \ ([a-z][-a-z0-9]*)\  ]]; then
            printf '%s\n' "${BASH_REMATCH[1]}"
        elif [[ $in_list && -z $line ]]; then
            in_list=""
        fi
    done <<<"$1"
}

# The option lines of a help text as "NAMES<TAB>TYPE": NAMES separated by
# commas (-C,--directory), TYPE empty for a flag, else the value's type with
# its choices (TEXT:{yaffs2,ext2}). CLI11 starts the description at column
# 31, or on the next line when the names and type reach that far.
_korvane_cli_options()
{
    local line names rest type
    while IFS= read -r line; do
        [[ $line == "  -"* ]] || continue
        [[ ${line:28:2} == "  " && ${line:30:1} == [![:space:]] ]] && line=${line:0:30}
        read -r names type rest <<<"$line"
        [[ $type == Excludes: || $type == Needs: || $type == REQUIRED ]] && type=""
        [[ $type =~ ^[A-Z] ]] || type=""
        printf '%s\t%s\n' "$names" "$type"
    done <<<"$1"
}

# The names of the positional arguments in the Usage line: IMAGE PATH...
_korvane_cli_positionals()
{
    local line word
    line=$(grep -m1 '^Usage:' <<<"$1")
    for word in ${line#*\[OPTIONS\]}; do
        word=${word//[\[\]]/}
        [[ $word == SUBCOMMAND ]] || printf '%s\n' "$word"
    done
}

# Completes cur with the objects of IMAGE whose path begins with it, folders
# with a trailing slash. The remaining arguments are read options to pass on.
_korvane_cli_image_paths()
{
    local prog=$1 image=$2 cur=$3
    shift 3
    local folder="/" relative=""
    [[ $cur == /* ]] || relative=1
    [[ $cur == */* ]] && folder=/${cur%/*}
    local listing
    listing=$(timeout 2 "$prog" ls -l --quiet "$@" "$image" "$folder" 2>/dev/null) || return
    local line mode path
    local -a found=()
    while IFS= read -r line; do
        [[ $line =~ ^(.)[^\ ]*\ +[0-9]+\ +[0-9]+\ +[0-9]+\ +[^\ ]+\ (/.*)$ ]] || continue
        mode=${BASH_REMATCH[1]} path=${BASH_REMATCH[2]}
        case $mode in
            l) path=${path% -> *} ;;
            d) path+=/ ;;
        esac
        path=${path% link to /*}
        [[ $relative ]] && path=${path#/}
        [[ $path == "$cur"* ]] && found+=("$path")
    done <<<"$listing"
    local p
    for p in "${found[@]}"; do
        if [[ $p == */ ]]; then
            COMPREPLY+=("$(printf '%q' "$p")")
        else
            COMPREPLY+=("$(printf '%q ' "$p")")
        fi
    done
    compopt -o nospace 2>/dev/null
}

# _korvane_cli_type OPTIONS NAME: the type of the value option NAME takes
# (nothing for a flag or an unknown option).
_korvane_cli_type()
{
    local names type
    while IFS=$'\t' read -r names type; do
        if [[ ,$names, == *,$2,* ]]; then
            printf '%s' "$type"
            return
        fi
    done <<<"$1"
}

_korvane_cli()
{
    local cur prev words cword split
    _init_completion -s || return
    # bash breaks --to=ext4 into three words.
    [[ $prev == = && $cword -ge 2 ]] && prev=${words[cword - 2]}

    local prog=${words[0]} command="" i
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} != -* ]]; then
            command=${words[i]}
            break
        fi
    done

    local top
    top=$(_korvane_cli_help "$prog")
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$(_korvane_cli_options "$top" | cut -f1 | tr ',' ' ')" \
                -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$(_korvane_cli_commands "$top")" -- "$cur"))
        fi
        return
    fi

    local help
    help=$(_korvane_cli_help "$prog" "$command") || return
    # The global options may follow the command.
    local options
    options=$(_korvane_cli_options "$help"; _korvane_cli_options "$top")

    local type=""
    [[ $prev == -* ]] && type=$(_korvane_cli_type "$options" "$prev")
    if [[ $type ]]; then
        if [[ $type == *:\{*\} ]]; then
            local choices=${type#*:\{}
            choices=${choices%\}}
            COMPREPLY=($(compgen -W "${choices//,/ }" -- "$cur"))
            return
        fi
        case $prev in
            -C | --directory | --parts) _filedir -d ;;
            --size) COMPREPLY=($(compgen -W "auto" -- "$cur")) ;;
            --uuid) COMPREPLY=($(compgen -W "random" -- "$cur")) ;;
            # An edit command is several words in one quoted argument, which
            # bash hands over with its quote: nothing to offer.
            -e | --expression | --label | --owner | --mode-dirs | --mode-files) ;;
            *) [[ $type == TEXT* ]] && _filedir ;;
        esac
        return
    fi

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(cut -f1 <<<"$options" | tr ',' '\n' | sort -u)" -- "$cur"))
        return
    fi

    # A positional argument: which one, counting past the options and their
    # values; the options that say how the image is read are kept, so that
    # its paths are listed the same way.
    local -a given=() readopts=()
    local word want="" keep=""
    for ((i = i + 1; i < cword; i++)); do
        word=${words[i]}
        if [[ $word == = ]]; then
            continue
        elif [[ $want ]]; then
            [[ $keep ]] && readopts+=("$word")
            want="" keep=""
        elif [[ $word == -* && $word != - ]]; then
            case ${word%%=*} in
                --page-size | --spare-size | --tag-offset | --byte-order | --inband-tags | \
                    --no-tag-ecc | --format | --part)
                    readopts+=("$word")
                    keep=1
                    ;;
            esac
            [[ $word != *=* && -n $(_korvane_cli_type "$options" "$word") ]] && want=1 || keep=""
        else
            given+=("$word")
        fi
    done

    local -a positionals=()
    mapfile -t positionals < <(_korvane_cli_positionals "$help")
    local count=${#positionals[@]} at=${#given[@]} what=""
    if ((at < count)); then
        what=${positionals[at]}
    elif ((count > 0)) && [[ ${positionals[count - 1]} == *... ]]; then
        what=${positionals[count - 1]}
    fi
    case ${what%...} in
        PATH)
            [[ ${given[0]-} ]] &&
                _korvane_cli_image_paths "$prog" "${given[0]/#\~/$HOME}" "$cur" "${readopts[@]}"
            ;;
        "") ;;
        *) _filedir ;;
    esac
}
complete -F _korvane_cli korvane-cli
