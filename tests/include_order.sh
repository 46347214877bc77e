#!/bin/sh
# Checks that the server's includes run one way: each folder includes only
# itself and the folders below it, in this order from the top:
#
#   kit  app  monitor  dispatch  plugins  bus  threads  sdk
#
# and that no files include each other in a circle. Prints every include
# that runs upward, and the circle if there is one; the exit status is
# non-zero when it finds either. Run by ctest with the source tree as its
# argument.
set -eu
cd "${1:-.}"

folders="kit app monitor dispatch plugins bus threads sdk"

rank() {
    position=0
    for folder in $folders; do
        [ "$folder" = "$1" ] && { echo "$position"; return; }
        position=$((position + 1))
    done
    echo -1
}

# "file included-file" for every include of one of the folders' headers.
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
for folder in $folders; do
    find "$folder" -name '*.h' -o -name '*.cpp' -o -name '*.c'
done | sort | while read -r file; do
    sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file" |
        while read -r included; do
            case "$included" in
                */*) target=$included ;;
                *) if [ -e "$(dirname "$file")/$included" ]; then
                       target=$(dirname "$file")/$included
                   elif [ -e "sdk/$included" ]; then
                       target=sdk/$included
                   else
                       continue
                   fi ;;
            esac
            [ -e "$target" ] && echo "$file $target"
        done
done > "$edges"

status=0
while read -r file target; do
    from=$(rank "${file%%/*}")
    to=$(rank "${target%%/*}")
    if [ "$to" -lt "$from" ]; then
        echo "upward include: $file includes $target"
        status=1
    fi
done < "$edges"

# tsort names the files of a circle on standard error.
if ! tsort "$edges" > /dev/null 2> "$edges.loop"; then
    echo "files that include each other in a circle:"
    cat "$edges.loop"
    status=1
fi
rm -f "$edges.loop"
exit "$status"
