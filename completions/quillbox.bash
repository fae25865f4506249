# bash completion for quillbox
_quillbox() {
    local cur prev words cword
    _init_completion || return

    local commands="serve install uninstall status reindex config model doctor hook"
    local clients="claude codex gemini vscode cursor"
    local command="" sub="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -*) ;;
            *)
                if [[ -z $command ]]; then
                    command=${words[i]}
                elif [[ -z $sub && $command =~ ^(config|model|hook)$ ]]; then
                    sub=${words[i]}
                fi
                ;;
        esac
    done

    case $prev in
        --root)
            _filedir -d
            return
            ;;
        --client)
            COMPREPLY=($(compgen -W "$clients" -- "$cur"))
            return
            ;;
        --log-level)
            COMPREPLY=($(compgen -W "debug info warning error" -- "$cur"))
            return
            ;;
    esac

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi

    local options="--help --root"
    case $command in
        serve) options+=" --log-level" ;;
        install) options+=" --client" ;;
        uninstall) options+=" --client --purge" ;;
        reindex)
            if [[ $cur != -* ]]; then
                _filedir md
                return
            fi
            ;;
        config)
            if [[ -z $sub ]]; then
                COMPREPLY=($(compgen -W "get set unset list --help --root" -- "$cur"))
                return
            fi
            if [[ $cur != -* && $sub =~ ^(get|set|unset)$ && $prev == "$sub" ]]; then
                local keys
                keys=$(quillbox config list 2>/dev/null | sed -n 's/^\([a-z_.]*\) = .*/\1/p')
                COMPREPLY=($(compgen -W "$keys" -- "$cur"))
                return
            fi
            ;;
        model)
            if [[ -z $sub ]]; then
                COMPREPLY=($(compgen -W "list pull --help" -- "$cur"))
                return
            fi
            if [[ $sub == pull && $cur != -* ]]; then
                local models
                models=$(quillbox model list 2>/dev/null | awk 'NR > 1 && $1 !~ /^Models/ {print $1}')
                COMPREPLY=($(compgen -W "$models" -- "$cur"))
                return
            fi
            [[ $sub == pull ]] && options="--help"
            ;;
        hook)
            if [[ -z $sub ]]; then
                COMPREPLY=($(compgen -W "pre-tool-use --help --root" -- "$cur"))
                return
            fi
            ;;
    esac
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
} &&
    complete -F _quillbox quillbox
