# Bash completion for npx4-cli: commands, options, block ranges and file names. The commands and
# options are read from the program's --help, so new ones complete without a change here.

_npx4_cli()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local program=$1 line entry name section=
    local -a commands=() file_commands=() options=() value_options=()
    local help
    help=$("$program" --help 2>/dev/null) || return 0
    while IFS= read -r line; do
        case $line in
        Commands*:) section=commands ;;
        Options:) section=options ;;
        '') section= ;;
        '  '[!\ ]*)
            entry=${line#  }
            entry=${entry%%  *}
            if [[ $section == commands ]]; then
                commands+=("${entry%% *}")
                [[ $entry == *' FILE'* ]] && file_commands+=("${entry%% *}")
            elif [[ $section == options ]]; then
                for name in ${entry//,/ }; do
                    [[ $name == -* ]] || continue
                    options+=("$name")
                    [[ $entry == *'<'* ]] && value_options+=("$name")
                done
            fi
            ;;
        esac
    done <<<"$help"

    # The words before the cursor: the command, its file, and the option whose value is being
    # typed (also as --option=value, which the shell splits at "=").
    local command= file= option= word i
    for ((i = 1; i <= COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == = ]]; then
            option=${COMP_WORDS[i - 1]}
            [[ $i == "$COMP_CWORD" ]] && cur=
            continue
        fi
        if ((i == COMP_CWORD)); then
            break
        fi
        if [[ -n $option ]]; then
            option=
        elif [[ $word == -* ]]; then
            [[ " ${value_options[*]} " == *" $word "* && ${COMP_WORDS[i + 1]} != = ]] &&
                option=$word
        elif [[ -z $command ]]; then
            command=$word
        else
            file=$word
        fi
    done

    COMPREPLY=()
    if [[ $option == --blocks ]]; then
        # Block ranges such as "0...99, 200": a number becomes the start of a range, an open
        # range runs to the last block.
        compopt -o nospace 2>/dev/null
        if [[ -z $cur ]]; then
            COMPREPLY=("0...1023")
        elif [[ $cur =~ [0-9]$ ]]; then
            COMPREPLY=("$cur...")
        elif [[ $cur == *... ]]; then
            COMPREPLY=("${cur}1023")
        fi
    elif [[ -n $option ]]; then
        return 0
    elif [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${options[*]}" -- "$cur")
    elif [[ -z $command ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${commands[*]}" -- "$cur")
    elif [[ -z $file && " ${file_commands[*]} " == *" $command "* ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
    return 0
}
complete -F _npx4_cli npx4-cli
