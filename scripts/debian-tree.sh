# Helpers for the scripts that make a Debian tree of their own (the emulated
# guest, the fresh machine). Sourced; each function says what fails.
#
# debian_mirror: prints the host's Debian mirror, read from its apt sources.
# debian_sources_into <root>: gives the tree the host's Debian apt sources and settings.
# debootstrap_into <root> <debootstrap option...>: a minbase bookworm from that
#   mirror, in a mount namespace of its own, so an interruption leaves no mount.
# remove_tree <dir>: unmounts whatever lies below <dir>, then removes it
#   without crossing into another file system.
# new_run_folder <runs>: removes the folders of runs killed outright
#   (<runs>/run-<pid>.*, whose process is gone), then makes and prints one
#   for this process.
# with_archive_lock <command...>: runs it holding the lock that the project's
#   apt and debootstrap runs take on the host's .deb cache, which fresh-machine
#   trees and guest builds share: apt refuses to start beside another holder.

debian_mirror() {
    local mirror
    mirror=$(grep -hsvE '^[[:space:]]*#' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
                 /etc/apt/sources.list.d/*.sources |
             grep -oE 'https?://[^ ]*/debian/?( |$)' | head -n 1 | tr -d ' ' || true)
    if [ -z "$mirror" ]; then
        echo "no Debian mirror in this host's apt sources (/etc/apt/sources.list, /etc/apt/sources.list.d/):" \
             "add the Debian archive this host installs from, then try again" >&2
        return 1
    fi
    echo "${mirror%/}"
}

debian_sources_into() {
    local root=$1 f
    mkdir -p "$root/etc/apt/sources.list.d" "$root/etc/apt/apt.conf.d"
    rm -f "$root/etc/apt/sources.list"
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && grep -q '/debian' "$f" && cp "$f" "$root$f"
    done
    cp /etc/apt/apt.conf.d/* "$root/etc/apt/apt.conf.d/" 2>/dev/null || true
}

archive_lock=/var/cache/apt/archives/orbel-apt.lock

with_archive_lock() {
    flock "$archive_lock" "$@"
}

debootstrap_into() {
    local root=$1 mirror
    shift
    mirror=$(debian_mirror) || return 1
    # Downloads are shared with the host's apt cache; what is installed is not.
    with_archive_lock unshare --mount --propagation private \
        debootstrap --variant=minbase --arch=amd64 --cache-dir=/var/cache/apt/archives "$@" \
        bookworm "$root" "$mirror"
}

mounts_below() {
    # mountinfo escapes a space as \040.
    awk -v d="$1" '{ gsub(/\\040/, " ", $5) } $5 == d || index($5, d "/") == 1 { print $5 }' \
        /proc/self/mountinfo | sort -r
}

remove_tree() {
    local dir mount
    dir=$(realpath -m "$1")
    [ -e "$dir" ] || return 0
    # Deepest first, lazily as a last resort.
    mounts_below "$dir" | while IFS= read -r mount; do
        umount "$mount" 2>/dev/null || umount -l "$mount" 2>/dev/null || true
    done
    # A bind mount of the same file system would pass --one-file-system.
    if [ -n "$(mounts_below "$dir")" ]; then
        echo "not removing $dir: something is still mounted below it" >&2
        return 1
    fi
    rm -rf --one-file-system "$dir"
}

new_run_folder() {
    local dir pid
    mkdir -p "$1"
    for dir in "$1"/run-*; do
        [ -d "$dir" ] || continue
        pid=${dir##*/run-}
        kill -0 "${pid%%.*}" 2>/dev/null || remove_tree "$dir"
    done
    mktemp -d "$1/run-$$.XXXXXX"
}

# A script's steps may run them in a shell of their own.
export -f debian_mirror debian_sources_into with_archive_lock debootstrap_into mounts_below remove_tree new_run_folder
export archive_lock
