#!/bin/sh
# Runs COMMAND as on a machine without the given library files: an empty file is mounted over each. Run it
# under `unshare --mount` (needs root); the mounts go with the namespace.
#   hide_libraries.sh FILE... -- COMMAND...
set -e
while [ "$1" != -- ]; do
    mount --bind /dev/null "$1"
    shift
done
shift
exec "$@"
