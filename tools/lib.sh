# shellcheck shell=bash
# Shell functions shared by tools/toolroot.sh and tools/arm64.sh; they expect
# a `log` function from the script that sources this file.

# The Debian mirror the host already uses, from its own apt configuration.
mirror() {
    local uri
    uri=$(grep -hE '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | awk '{print $2}' | grep -E '/debian/?$' | head -n1 || true)
    if [ -z "$uri" ]; then
        uri=$(grep -hE '^\s*deb\s' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
              | awk '{for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' \
              | grep -E '/debian/?$' | head -n1 || true)
    fi
    [ -n "$uri" ] || { log "no Debian mirror found in the host's apt sources"; exit 1; }
    printf '%s\n' "$uri"
}

# Unmounts anything an interrupted run left inside a partial tree, then removes it.
discard() {
    local dir=$1
    [ -d "$dir" ] || return 0
    awk -v d="$dir" '$2 == d || index($2, d "/") == 1 {print $2}' /proc/mounts \
        | sort -r | while read -r m; do umount -l "$m" 2>/dev/null || true; done
    rm -rf --one-file-system "$dir"
}

# Runs "$@" holding the lock file $1: one maker at a time. A caller that waited
# finds the maker's work done.
with_lock() {
    local lock=$1; shift
    mkdir -p "$(dirname "$lock")"
    (
        flock 9
        "$@"
    ) 9>"$lock"
}

# make_tree DEST PREFIX FILL...: makes the tree DEST unless it is complete.
# FILL... TMP fills a fresh temporary tree PREFIX.XXXXXX (leftovers of
# interrupted runs are removed first); the filled tree is marked complete and
# renamed into place, so DEST is either missing or whole. Run it under with_lock.
make_tree() {
    local dest=$1 prefix=$2; shift 2
    [ -f "$dest/.complete" ] && return 0
    local stale tmp
    for stale in "$prefix".*; do discard "$stale"; done
    tmp=$(mktemp -d "$prefix.XXXXXX")
    chmod 755 "$tmp"
    "$@" "$tmp"
    touch "$tmp/.complete"
    discard "$dest"
    mv "$tmp" "$dest"
}

# bootstrap TMP LOGFILE WHAT ARGS...: debootstrap of Debian forky into TMP from
# the host's mirror, with ARGS; its output goes to LOGFILE, whose end is shown
# (and TMP removed) when it fails.
bootstrap() {
    local tmp=$1 logfile=$2 what=$3; shift 3
    bootstrap_suite "$tmp" "$logfile" "$what" forky /usr/share/debootstrap/scripts/sid "$@"
}

# bootstrap_suite TMP LOGFILE WHAT SUITE SCRIPT ARGS...: the same for the Debian
# release SUITE, with debootstrap's SCRIPT for it (empty: debootstrap's own).
bootstrap_suite() {
    local tmp=$1 logfile=$2 what=$3 suite=$4 script=$5; shift 5
    local m
    m=$(mirror)
    log "$what from $m"
    if ! debootstrap "$@" "$suite" "$tmp" "$m" ${script:+"$script"} >"$logfile" 2>&1; then
        tail -n 30 "$logfile" >&2
        discard "$tmp"
        log "debootstrap failed (full log: $logfile)"
        exit 1
    fi
}
