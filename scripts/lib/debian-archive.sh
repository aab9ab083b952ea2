# Sourced by scripts that fetch from Debian's archive.
#
# debian_archive prints the archive's base address as this machine's own
# apt sources name it (one-line or deb822 form), e.g.
# http://deb.debian.org/debian: a Debian mirror keeps every suite's pool
# and dists, whichever release this machine runs.
debian_archive() {
    {
        cat /etc/apt/sources.list 2>/dev/null || true
        cat /etc/apt/sources.list.d/*.list 2>/dev/null || true
        cat /etc/apt/sources.list.d/*.sources 2>/dev/null || true
    } | grep -v '^[[:space:]]*#' |
        grep -oE '(https?|mirror\+https?)://[^[:space:]]+' |
        grep -vE 'security|updates|backports' |
        grep -E '/debian/?$' | head -n 1 | sed 's:/*$::'
}
