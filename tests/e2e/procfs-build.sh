# Sourced by the scripts that need a fake /proc/sys: build DIR makes the
# tree that the fixture file $fixture describes (its format is at the top
# of tests/fixtures/procfs-tree.txt) in DIR, afresh.
build() {
    rm -rf "$1"
    mkdir -p "$1"
    while read -r mode path text; do
        case $mode in
        '#'* | '') continue ;;
        dir) mkdir -p "$1/$path"; continue ;;
        link) ln -s "$text" "$1/$path"; continue ;;
        esac
        mkdir -p "$1/$(dirname "$path")"
        printf '%b' "$text" >"$1/$path"
        chmod "$mode" "$1/$path"
    done <"$fixture"
}
