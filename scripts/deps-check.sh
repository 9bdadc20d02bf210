#!/usr/bin/env bash
# Checks that the subsystems under src/ depend on each other only downwards:
# a source file may include headers of its own folder and of the folders its
# folder may use (the table below, the same as the libraries' links in
# src/CMakeLists.txt), nothing else of src/. Also refuses a folder the table
# does not know, sources left at the top of src/, and a table with a cycle.
#
#   deps-check.sh                 the include check (no build needed)
#   deps-check.sh --objects NAME=LIB...
#                                 also the call check on built libraries: every
#                                 symbol a subsystem's library takes from our
#                                 code must be defined by itself or by a
#                                 library it may use (run by ctest)
#
# Exits 1 and names each offending line or symbol when a rule is broken.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each folder and the folders it may use, lowest first.
declare -A uses=(
    [common]=""
    [client]="common"
    [runtime]="common"
    [tree]="runtime common"
    [storage]="tree runtime common"
    [tree_service]="tree runtime common"
    [property]="client runtime common"
    [daemon]="storage tree_service property tree runtime client common"
)

fail=0
problem() {
    echo "deps-check: $*" >&2
    fail=1
}

# The table itself: every folder named as used is known, and no folder reaches
# itself through what it uses.
reaches() { # reaches FROM TO: TO is FROM or below it
    local from=$1 to=$2 d
    [ "$from" = "$to" ] && return 0
    for d in ${uses[$from]}; do
        reaches "$d" "$to" && return 0
    done
    return 1
}
for f in "${!uses[@]}"; do
    for d in ${uses[$f]}; do
        [ -n "${uses[$d]+x}" ] || problem "$f uses $d, which is not a folder of the table"
        reaches "$d" "$f" && problem "cycle: $f uses $d, which reaches $f again"
    done
done
[ $fail -eq 0 ] || exit 1

# Which folder owns each header of src/.
declare -A owner=()
for dir in src/*/; do
    folder=$(basename "$dir")
    [ -n "${uses[$folder]+x}" ] || problem "src/$folder is not in the table of scripts/deps-check.sh"
    for h in "$dir"*.h; do
        [ -e "$h" ] || continue
        name=$(basename "$h")
        [ -z "${owner[$name]+x}" ] || problem "header $name is in src/${owner[$name]} and src/$folder"
        owner[$name]=$folder
    done
done
for f in src/*.cpp src/*.h src/*.c; do
    [ -e "$f" ] && problem "$f lies at the top of src/; it belongs in a subsystem folder"
done

for dir in src/*/; do
    folder=$(basename "$dir")
    allowed=" $folder ${uses[$folder]:-} "
    while IFS=: read -r file line text; do
        [ -n "$file" ] || continue
        [[ "$text" =~ \"([^\"]+)\" ]] || continue
        name=${BASH_REMATCH[1]}
        to=${owner[$name]:-}
        [ -n "$to" ] || continue
        [[ "$allowed" == *" $to "* ]] || problem "$file:$line includes $name of src/$to, which src/$folder may not use"
    done < <(grep -n -H -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$dir"*.cpp "$dir"*.h 2>/dev/null || true)
done

if [ "${1:-}" = "--objects" ]; then
    shift
    nm=${NM:-nm}
    table=$(for f in "${!uses[@]}"; do echo "$f ${uses[$f]}"; done)
    # D folder symbol: defined by a library (weak ones, templates and inline
    # functions that many define, are left out); U folder symbol: taken.
    calls=$(for arg in "$@"; do
        folder=${arg%%=*}
        "$nm" --defined-only -g "${arg#*=}" | awk -v f="$folder" 'NF == 3 && $2 ~ /^[TDBR]$/ {print "D", f, $3}'
        "$nm" -u "${arg#*=}" | awk -v f="$folder" 'NF >= 2 && $(NF-1) == "U" {print "U", f, $NF}'
    done | awk -v table="$table" '
        BEGIN {
            n = split(table, lines, "\n")
            for (i = 1; i <= n; i++) {
                m = split(lines[i], w, " ")
                for (j = 1; j <= m; j++) may[w[1], w[j]] = 1
            }
        }
        $1 == "D" { def[$3] = def[$3] " " $2; next }
        { taken[++t] = $2 " " $3 }
        END {
            for (i = 1; i <= t; i++) {
                split(taken[i], u, " ")
                if (!(u[2] in def)) continue
                m = split(def[u[2]], from, " ")
                ok = 0
                for (j = 1; j <= m; j++) if ((u[1], from[j]) in may) ok = 1
                if (!ok) print u[1], u[2], from[1]
            }
        }' | sort -u)
    while read -r folder sym from; do
        [ -n "$folder" ] || continue
        problem "src/$folder calls $(c++filt "$sym") of src/$from, which it may not use"
    done <<<"$calls"
fi

if [ $fail -ne 0 ]; then
    echo "deps-check: the allowed directions are in scripts/deps-check.sh and docs/architecture.md" >&2
    exit 1
fi
echo "deps-check: every subsystem depends only on those below it"
