# bash completion for quillo-cli
# Volume names and mount points come from `quillo-cli volumes --names` (not measured, so a tab
# never waits for a trash to be walked); preference keys from `quillo-cli prefs`.

_quillo_cli_words() {
    local IFS=$'\n' word
    local -a words
    words=($("$@" 2>/dev/null))
    for word in "${words[@]}"; do
        [[ $word == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$word")")
    done
}

_quillo_cli() {
    local cur prev words cword
    _init_completion -n = || return
    COMPREPLY=()
    local cli=${words[0]}

    if ((cword == 1)); then
        COMPREPLY=($(compgen -W 'volumes list empty erase restore put purge prefs helper help' -- "$cur"))
        return
    fi
    case ${words[1]} in
        volumes)
            COMPREPLY=($(compgen -W '--json --names' -- "$cur")) ;;
        list)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W '--json --paths --match --volume' -- "$cur"))
            elif [[ $prev == --match ]]; then
                :
            else
                _quillo_cli_words "$cli" volumes --names
            fi ;;
        restore)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W '--to --match --rename --replace --skip --dry-run --json' -- "$cur"))
            elif [[ $prev == --to ]]; then
                _filedir -d
            elif [[ $prev == --match ]]; then
                :
            else
                # Where the trashed items came from.
                _quillo_cli_words "$cli" list --paths
            fi ;;
        put)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W '--verbose' -- "$cur"))
            else
                _filedir
            fi ;;
        empty)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W '--yes --all' -- "$cur"))
            else
                _quillo_cli_words "$cli" volumes --names
            fi ;;
        erase)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W '--yes' -- "$cur"))
            else
                _filedir
            fi ;;
        purge)
            case $prev in
                --volume) _quillo_cli_words "$cli" volumes --names ;;
                --older-than|--min-age) COMPREPLY=($(compgen -W '1d 7d 30d 90d' -- "$cur")) ;;
                --max-size) COMPREPLY=($(compgen -W '1G 10G 50G' -- "$cur")) ;;
                --min-free) COMPREPLY=($(compgen -W '5% 10% 5G 10G' -- "$cur")) ;;
                *) COMPREPLY=($(compgen -W '--older-than --max-size --min-free --min-age --allow-helper --volume --dry-run --json --from-preferences' -- "$cur")) ;;
            esac ;;
        prefs)
            if ((cword == 2)); then
                local IFS=$'\n'
                COMPREPLY=($(compgen -W "$("$cli" prefs 2>/dev/null | sed -n 's/ = .*//p')" -- "$cur"))
            elif ((cword == 3)); then
                COMPREPLY=($(compgen -W 'yes no' -- "$cur"))
            fi ;;
        helper)
            ((cword == 2)) && COMPREPLY=($(compgen -W 'status install remove' -- "$cur")) ;;
    esac
} &&
    complete -F _quillo_cli quillo-cli
