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
