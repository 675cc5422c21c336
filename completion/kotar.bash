# bash completion for kotar: options, file names, and the --align sizes.
_kotar() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    case $cur in
        --align=*)
            COMPREPLY=($(compgen -W '4096 16384 65536' -- "${cur#--align=}"))
            return
            ;;
        -*)
            COMPREPLY=($(compgen -W '-c -x -o -t -v --align= --verify --progress --help --version' -- "$cur"))
            if [[ ${COMPREPLY[0]} == --align= ]]; then compopt -o nospace 2>/dev/null; fi
            return 0
            ;;
    esac
    case $prev in
        # Every compression that -c, -x and -t read; --verify reads a plain ktar.
        -c) COMPREPLY=($(compgen -f -X '!*.@(tar|tgz|tar.@(gz|zst|xz|bz2|lz4)|tzst|txz|tbz|tbz2)' -- "$cur")) ;;
        -x|-t) COMPREPLY=($(compgen -f -X '!*.@(ktar|kgz)' -- "$cur")) ;;
        --verify) COMPREPLY=($(compgen -f -X '!*.ktar' -- "$cur")) ;;
        *) COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null; return ;;
    esac
    compopt -o filenames 2>/dev/null
    # Folders stay offered, so that a path can be completed step by step.
    COMPREPLY+=($(compgen -d -- "$cur"))
}
complete -F _kotar kotar
