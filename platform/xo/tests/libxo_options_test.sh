#!/bin/sh
# LIBXO_OPTIONS sets libxo options before the command line's --libxo,
# which adds to them. Usage: libxo_options_test.sh XO_REPLAY
replay=$1
script='open_container a
emit "{:x/%d}" i:1
close_container a'
fail=0
check() { # ENV ARGS WANT
    got=$(printf '%s\n' "$script" | LIBXO_OPTIONS=$1 LC_ALL=C.UTF-8 "$replay" $2 2>&1)
    if [ "$got" != "$3" ]; then
        printf 'LIBXO_OPTIONS=%s %s:\n  want %s\n  got  %s\n' "$1" "$2" "$3" "$got"
        fail=1
    fi
}
check json "" '{"a": {"x":1}}'
check :XP "" '<a>
  <x>1</x>
</a>'
check json "--libxo xml" '<a><x>1</x></a>'
check pretty "--libxo json" '{
  "a": {
    "x": 1
  }
}'
check bogus "" "unknown libxo option value: 'bogus'
1"
exit $fail
