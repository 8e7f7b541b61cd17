# Sourced by the set-up scripts: apt-get update that rides out a mirror caught mid-sync, and the
# machine's own Debian mirror.

# apt-get update, tried three times with a short back-off. Debian's mirrors are now and then
# caught mid-sync, and one index then fails ("File has unexpected size ... Mirror sync in
# progress?"); apt-get still fetches the others. Returns non-zero if an index still fails, with
# the explanation in apt_update_problem, which the caller prints if the install fails too.
apt_update_problem=""
apt_update() {
    apt_update_problem=""
    log=$(mktemp)
    for backoff in 10 30 ""; do
        if apt-get update >"$log" 2>&1; then
            cat "$log" >&2
            rm -f "$log"
            return 0
        fi
        cat "$log" >&2
        [ -z "$backoff" ] || { echo "apt-get update failed; trying again in $backoff s" >&2; sleep "$backoff"; }
    done
    index=$(sed -n 's/^Err:[0-9]* //p' "$log" | head -n 1)
    rm -f "$log"
    apt_update_problem="apt-get update could not fetch ${index:-an index}: the package mirror is inconsistent (caught mid-sync), not this project; trying again later usually helps."
    echo "$apt_update_problem" >&2
    return 1
}

# Prints the mirror of the machine's own Debian release as its apt sources name it (the URI of a
# "deb" source for the release's codename, in the one-line or the deb822 format), or
# PELMORA_DEBIAN_MIRROR when set. Fails, saying so, when there is none.
# Usage: debian_mirror [apt's configuration folder, /etc/apt by default]
debian_mirror() {
    if [ -n "${PELMORA_DEBIAN_MIRROR:-}" ]; then
        echo "$PELMORA_DEBIAN_MIRROR"
        return 0
    fi
    etc=${1:-/etc/apt}
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    mirror=$(
        for list in "$etc/sources.list" "$etc"/sources.list.d/*.list; do
            [ -f "$list" ] || continue
            # deb [options] uri suite components
            awk -v suite="$codename" '$1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
                if ($(i + 1) == suite) print $i
            }' "$list"
        done
        for sources in "$etc"/sources.list.d/*.sources; do
            [ -f "$sources" ] || continue
            awk -v suite="$codename" 'BEGIN { RS = ""; FS = "\n" } {
                types = ""; uris = ""; suites = ""; enabled = "yes"
                for (i = 1; i <= NF; i++) {
                    split($i, field, ":[ \t]*")
                    name = tolower(field[1]); value = substr($i, length(field[1]) + 2)
                    sub(/^[ \t]+/, "", value)
                    if (name == "types") types = " " value " "
                    else if (name == "uris") uris = value
                    else if (name == "suites") suites = " " value " "
                    else if (name == "enabled") enabled = tolower(value)
                }
                if (enabled != "no" && types ~ / deb / && suites ~ " " suite " ") {
                    split(uris, uri, /[ \t]+/); print uri[1]
                }
            }' "$sources"
        done | head -n 1
    )
    if [ -z "$mirror" ]; then
        echo "No Debian mirror for '$codename' in $etc's sources; set PELMORA_DEBIAN_MIRROR" >&2
        return 1
    fi
    echo "$mirror"
}
