#!/bin/sh
# Runs COMMAND as an application sandbox the way servers recognise one: a root of its own holding a
# .flatpak-info that names APP_ID, mounted on the empty folder ROOT. Run it under
# `unshare --mount --pid --kill-child` (needs root); the mounts go with the namespace.
#   sandbox.sh ROOT APP_ID COMMAND...
set -e
root=$1
app=$2
shift 2
mount -t tmpfs tmpfs "$root"
for dir in usr etc tmp dev var run; do
    mkdir "$root/$dir"
    mount --rbind "/$dir" "$root/$dir"
done
for link in bin lib lib64 sbin; do ln -s "usr/$link" "$root/$link"; done
mkdir "$root/proc"
mount -t proc proc "$root/proc"
printf '[Application]\nname=%s\nruntime=runtime/test\n' "$app" >"$root/.flatpak-info"
exec chroot "$root" "$@"
