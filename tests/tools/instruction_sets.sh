#!/bin/bash
# Fails when an AVX instruction lies outside the functions of the files compiled for AVX2
# (geometry/bvh_query_avx2.cpp and app/postprocess_avx2.cpp, whose names end in _avx2.cpp)
# in any of the given programs. The 8-wide walks and tone curves there run only on
# processors with AVX2; an AVX instruction anywhere else (an inline function or template
# shared with such a file and emitted with AVX, which the linker may then pick for every
# caller) would stop the program with an illegal instruction on a processor without it.
# Those files' functions are the code symbols their object files in the given libraries
# define; a weak one (an inline function or template the linker may share with other
# files) does not count as the file's own. An instruction counts as AVX when it is VEX or
# EVEX encoded: a mnemonic starting with "v" (but the virtualisation and segment-check
# instructions), a ymm, zmm or mask register among its operands, or one of the VEX-encoded
# bit-manipulation instructions.
# Usage: instruction_sets.sh LIBRARY... -- PROGRAM...
set -euo pipefail
libraries=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    libraries+=("$1")
    shift
done
[ $# -gt 0 ] && shift
own=$(for library in "${libraries[@]}"; do
    nm --defined-only "$library" |
        awk '/:$/ { inside = $0 ~ /_avx2\.cpp\.o:$/; next } inside && ($2 == "T" || $2 == "t") { print $3 }'
done)
if [ -z "$own" ]; then
    echo "FAILED: ${libraries[*]} define no functions of files compiled for AVX2"
    exit 1
fi
status=0
for program in "$@"; do
    # One line per function holding AVX instructions: its symbol, their count, the first.
    found=$(objdump -d --no-show-raw-insn "$program" | awk '
        /^[0-9a-f]+ <.*>:$/ { name = substr($2, 2, length($2) - 3); next }
        /^ +[0-9a-f]+:\t/ {
            instruction = substr($0, index($0, "\t") + 1)
            split(instruction, words, /[ \t]+/)
            mnemonic = words[1]
            vex = mnemonic ~ /^v/ && mnemonic !~ /^(verr|verw|vm(call|clear|func|launch|load|mcall|ptrld|ptrst|read|resume|run|save|write|xoff|xon))$/
            vex = vex || mnemonic ~ /^(andn|bextr|blsi|blsmsk|blsr|bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx)$/
            vex = vex || instruction ~ /%(ymm|zmm)[0-9]|%k[0-7]([^0-9]|$)/
            if (vex) {
                if (!(name in count))
                    first[name] = instruction
                count[name]++
            }
        }
        END { for (name in count) printf "%s %d %s\n", name, count[name], first[name] }' | sort)
    outside=$(echo "$found" | awk 'NR == FNR { own[$1] = 1; next } $1 != "" && !($1 in own)' <(echo "$own") -)
    if [ -n "$outside" ]; then
        echo "FAILED: $(basename "$program"): AVX instructions outside the files compiled for AVX2:"
        echo "$outside" | while read -r symbol n instruction; do
            echo "  $(echo "$symbol" | c++filt): $n, first: $instruction"
        done
        status=1
    else
        count=$(echo "$found" | grep -c . || true)
        if [ "$count" -eq 0 ]; then
            echo "$(basename "$program"): no AVX instructions"
        else
            echo "$(basename "$program"): AVX instructions in $count functions, all of files compiled for AVX2"
        fi
    fi
done
exit $status
