#!/bin/sh
# Renders the pictures of the guides, docs/pictures/*.dot, into PNG files
# beside them, with Graphviz (installed if it is missing). The PNG files are
# kept in the repository, so that the guides show them without this step.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-packages.sh graphviz
for source in docs/pictures/*.dot; do
    dot -Tpng -Gdpi=110 -o "${source%.dot}.png" "$source"
    echo "drew ${source%.dot}.png"
done
