# fish completion for korvane-cli. Commands, options and the values an option
# takes are read from the program's own --help, so they follow the
# korvane-cli that is installed. Paths inside an image come from
# `korvane-cli ls` of the folder being typed, which costs one scan of the
# image; a scan that takes longer than two seconds gives no completion.

# The option lines of a help text as NAMES<TAB>TYPE<TAB>DESCRIPTION.
function __korvane_cli_options
    set -l lines $argv
    set -l n (count $lines)
    for i in (seq $n)
        set -l line $lines[$i]
        string match -q -- '  -*' $line; or continue
        # CLI11 puts the description at column 31, or on the next line when
        # the names and type reach that far.
        set -l head $line
        set -l desc
        set -l first (string sub -s 31 -l 1 -- $line)
        if test "$(string sub -s 29 -l 2 -- $line)" = '  '; and test -n "$first" -a "$first" != ' '
            set head (string sub -l 30 -- $line)
            set desc (string sub -s 31 -- $line)
        else if test $i -lt $n
            set desc (string trim -- $lines[(math $i + 1)])
        end
        set -l words (string split -n ' ' -- (string trim -- $head))
        set -l names $words[1]
        set -l type ''
        if test (count $words) -ge 2
            and string match -qr '^[A-Z]' -- $words[2]
            and not contains -- $words[2] Excludes: Needs: REQUIRED
            set type $words[2]
        end
        printf '%s\t%s\t%s\n' $names $type $desc
    end
end

function __korvane_cli_commands
    set -l in_list
    for line in $argv
        if test "$line" = Subcommands:
            set in_list 1
        else if set -q in_list[1]; and test -z "$line"
            set -e in_list
        else if set -q in_list[1]
            string replace -rf '^  ([a-z][-a-z0-9]*) +(.*)$' '$1\t$2' -- $line
        end
    end
end

# The type of the value the option $argv[1] takes, among the option lines
# that follow; nothing for a flag.
function __korvane_cli_type
    set -l name $argv[1]
    for row in $argv[2..-1]
        set -l f (string split \t -- $row)
        if contains -- $name (string split , -- $f[1])
            echo $f[2]
            return
        end
    end
end

# Each name of the option lines that follow, with its description.
function __korvane_cli_option_names
    for row in $argv
        set -l f (string split \t -- $row)
        for name in (string split , -- $f[1])
            printf '%s\t%s\n' $name $f[3]
        end
    end
end

function __korvane_cli_image_paths -a prog image typed
    set -l readopts $argv[4..-1]
    set -l folder /
    string match -q -- '*/*' $typed; and set folder /(string replace -r '/[^/]*$' '' -- $typed | string replace -r '^/' '')
    set -l relative 1
    string match -q -- '/*' $typed; and set -e relative
    set -l listing (timeout 2 $prog ls -l --quiet $readopts $image $folder 2>/dev/null); or return
    for line in $listing
        set -l m (string match -r '^(.)\S* +[0-9]+ +[0-9]+ +[0-9]+ +\S+ (/.*)$' -- $line); or continue
        set -l path $m[3]
        test $m[2] = l; and set path (string replace -r ' -> .*$' '' -- $path)
        set path (string replace -r ' link to /.*$' '' -- $path)
        test $m[2] = d; and set path $path/
        set -q relative[1]; and set path (string replace -r '^/' '' -- $path)
        echo $path
    end
end

function __korvane_cli_complete
    set -l tokens (commandline -opc)
    set -l typed (commandline -ct)
    set -l prog $tokens[1]
    set -l top ($prog --help 2>/dev/null)
    set -l command
    set -l at 2
    while test $at -le (count $tokens)
        if not string match -q -- '-*' $tokens[$at]
            set command $tokens[$at]
            break
        end
        set at (math $at + 1)
    end
    if test -z "$command"
        if string match -q -- '-*' $typed
            __korvane_cli_option_names (__korvane_cli_options $top)
        else
            __korvane_cli_commands $top
        end
        return
    end

    set -l help ($prog $command --help 2>/dev/null); or return
    set -l options (__korvane_cli_options $help) (__korvane_cli_options $top)

    set -l prev $tokens[-1]
    set -l type
    string match -q -- '-*' $prev; and set type (__korvane_cli_type $prev $options)
    if test -n "$type"
        set -l choices (string match -r '\{(.*)\}' -- $type)
        if set -q choices[2]
            string split , -- $choices[2]
            return
        end
        switch $prev
            case -C --directory --parts
                __fish_complete_directories $typed
            case --size
                echo auto
            case --uuid
                echo random
            case -e --expression
                printf '%s\n' add mkdir rm mv chmod chown ln mknod touch setfattr
            case --label --owner --mode-dirs --mode-files
            case '*'
                string match -q 'TEXT*' -- $type; and __fish_complete_path $typed
        end
        return
    end

    if string match -q -- '-*' $typed
        __korvane_cli_option_names $options | sort -u
        return
    end

    # A positional argument: which one, counting past the options and their
    # values; the options that say how the image is read are kept, so that
    # its paths are listed the same way.
    set -l given
    set -l readopts
    set -l want
    set -l keep
    for word in $tokens[(math $at + 1)..-1]
        if set -q want[1]
            set -q keep[1]; and set -a readopts $word
            set -e want
            set -e keep
        else if string match -q -- '-?*' $word
            set -l name (string split -m1 = -- $word)[1]
            if contains -- $name --page-size --spare-size --tag-offset --byte-order --inband-tags --no-tag-ecc --format --part
                set -a readopts $word
                set keep 1
            end
            if not string match -q -- '*=*' $word; and test -n "$(__korvane_cli_type $name $options)"
                set want 1
            else
                set -e keep
            end
        else
            set -a given $word
        end
    end

    set -l usage (string match -r '^Usage:.*' -- $help)
    set -l positionals
    for word in (string split -n ' ' -- (string replace -r '^.*\[OPTIONS\]' '' -- $usage[1]))
        set -a positionals (string replace -a -r '[\[\]]' '' -- $word)
    end
    set -l what
    set -l index (math (count $given) + 1)
    if test $index -le (count $positionals)
        set what $positionals[$index]
    else if test (count $positionals) -gt 0; and string match -q -- '*...' $positionals[-1]
        set what $positionals[-1]
    end
    switch (string replace '...' '' -- $what)
        case PATH
            set -q given[1]; and __korvane_cli_image_paths $prog $given[1] $typed $readopts
        case ''
        case '*'
            __fish_complete_path $typed
    end
end

complete -c korvane-cli -f -a '(__korvane_cli_complete)'
