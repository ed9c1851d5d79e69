# SPDX-License-Identifier: MIT
# bash completion for dupfind                                -*- shell-script -*-

_dupfind()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev='' i eq=''
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--format=cs": bash splits the word at '=' (COMP_WORDBREAKS).
    if [[ $cur == = ]]; then
        cur=''
        eq=1
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
        eq=1
    fi

    # After "--" every word is a directory.
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == -- ]]; then
            COMPREPLY=($(compgen -d -- "$cur"))
            return
        fi
    done

    case $prev in
        --keep)
            COMPREPLY=($(compgen -W 'first newest oldest shortest-path' -- "$cur"))
            return
            ;;
        --format)
            COMPREPLY=($(compgen -W 'human json fdupes csv' -- "$cur"))
            return
            ;;
        --sort)
            COMPREPLY=($(compgen -W 'size wasted count path' -- "$cur"))
            return
            ;;
        --files-from)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --reference)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        --cache)
            # Its file comes only after '=': "--cache DIR" scans DIR.
            if [[ $eq ]]; then
                COMPREPLY=($(compgen -f -- "$cur"))
                return
            fi
            ;;
        --min-size | --max-size | --max-files | --max-depth | --exclude | --exclude-text | --include | --newer-than | --older-than | --idle-timeout)
            # A number or a pattern: nothing to offer.
            COMPREPLY=()
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '
            --min-size --max-size --exclude --exclude-text --include --ignore-case -A --skip-hidden
            -x --one-file-system --max-depth --newer-than --older-than --follow-symlinks -H --hard-links
            --max-files -r --recursive --files-from --from0 --cache --no-cache --reference --isolate --format --json
            -0 --null -f --omit-first --sort --reverse --times -m --summary --skipped -q --quiet --delete
            --link --allow-metadata-change --reflink --keep --dry-run --interactive --ui --no-browser
            --idle-timeout -h --help
            -V --version' -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -d -- "$cur"))
} &&
    complete -o filenames -F _dupfind dupfind

# ex: filetype=sh
