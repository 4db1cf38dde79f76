#!/usr/bin/bash
# The bash completion of zelm, sourced into this shell and asked as bash asks
# it on TAB, against the built tool.
#   completion_test.sh ZELM COMPLETION_SCRIPT
set -uo pipefail

zelm=$1
source "$2"

work=$(mktemp -d "${TMPDIR:-/tmp}/zelm-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work
mkdir -p "$work/plugins/dir_manager.so" "$work/cwd/sub"
touch "$work/plugins/"{b_manager.so,a_manager.so,c_manager.dll,notes.txt,"with space_manager.so"} \
      "$work/cwd/"{local_manager.so,data.bin}
cd "$work/cwd" || exit 1

failures=0

# expect 'WORDS...' [CANDIDATE...]: completes the last of WORDS (the tool is
# put first) and compares the candidates with those given, in any order.
expect() {
    local words expected actual
    read -ra words <<< "$1"
    [[ $1 == *' ' ]] && words+=('')
    COMP_WORDS=("$zelm" "${words[@]}")
    COMP_CWORD=${#words[@]}
    COMP_LINE="zelm $1"
    COMP_POINT=${#COMP_LINE}
    _zelm
    actual=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ')
    expected=$(printf '%s\n' "${@:2}" | sort | paste -sd' ')
    if [[ $actual != "$expected" ]]; then
        echo "FAIL: zelm $1<TAB>: expected '$expected', got '$actual'"
        ((++failures))
    fi
}

# Commands and options, as the tool's help lists them.
expect 'sc' scan
expect 'st' status stream
expect 'scan --j' --jobs --json
expect 'reg ' get set
expect 'reg get --h' --help --hex
# An option's value, and arguments that take no completion.
expect 'scan --jobs '
expect 'scan --jobs 2 --is' --isolate
expect 'info a_manager.so '
# Global options before the command, and the command after their values.
expect '--clu' --cluster --cluster-ttl
expect '--host-id bench-1 --cluster http://10.0.0.5:2379 sc' scan
expect '--cluster ' 
ZELM_CLUSTER=http://10.0.0.5:2379 expect '--cluster h' http://10.0.0.5:2379
# Plug-in files: bare names from the plug-in directory, names with a '/' as
# paths.
export ZELM_PLUGIN_DIR=$work/plugins
expect 'info ' a_manager.so b_manager.so c_manager.dll 'with\ space_manager.so'
expect 'reg get a' a_manager.so
expect 'scan --plugin b' b_manager.so
expect 'scan -p ' a_manager.so b_manager.so c_manager.dll 'with\ space_manager.so'
expect 'info ./' ./local_manager.so ./data.bin ./sub
expect 'scan s' sub
expect 'stream a_manager.so {} 0 --output d' data.bin
unset ZELM_PLUGIN_DIR
# The directory that `zelm --help` names, here the build's own.
expect 'hold sim' sim_manager.so

if ((failures > 0)); then
    echo "$failures completion(s) failed"
    exit 1
fi
echo "every completion as expected"
