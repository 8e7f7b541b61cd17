#!/bin/sh
# Wine's 32-bit side is a 32-bit x86 Linux program, and some kernels refuse those (VM guests with
# IA-32 emulation turned off). There it runs under QEMU's user-mode emulation, which binfmt_misc
# starts for every 32-bit x86 program, inside chroots too (the interpreter is opened at
# registration). Quiet where 32-bit programs already run. As root, or it prints what to run.
# Usage: qemu-i386.sh [root]: the 32-bit program to try is the machine's Wine, or a root file
# system's own 32-bit loader (wine-root.sh), which unlike Wine needs no /proc there.
set -eu
. "$(dirname "$0")/apt.sh"

wine_root=${1:-}
loader() {
    if [ -n "$wine_root" ]; then
        # Through the root's shell: chroot's execvp would hand a refused program to sh as a
        # script, hiding the 'Exec format error'.
        chroot "$wine_root" /bin/sh -c '/lib/ld-linux.so.2 "$@"' sh "$@"
    else
        /usr/lib/wine/wine "$@"
    fi
}
runs() { loader --version >/dev/null 2>&1; }
case "$(loader --version 2>&1)" in
*'Exec format error'*) ;;
*) exit 0 ;; # runs, or fails for another reason, which the Wine scripts report
esac

# QEMU 9 and later: older ones ignore MAP_FIXED_NOREPLACE, which makes Wine's start-up search its
# whole address space (about a minute per process with bookworm's QEMU 7.2).
. /etc/os-release
suite=""
[ "${VERSION_CODENAME:-}" = bookworm ] && suite=bookworm-backports
have_qemu() {
    version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null) || return 1
    dpkg --compare-versions "$version" ge 1:9
}
conf=/usr/share/qemu/binfmt.d/qemu-i386.conf
misc=/proc/sys/fs/binfmt_misc

if [ "$(id -u)" -ne 0 ]; then
    echo "This kernel does not run 32-bit x86 programs, which Wine's 32-bit side is; as root," \
        "'make deps' sets up QEMU's user-mode emulation for them." >&2
    exit 1
fi
if ! have_qemu; then
    echo "This kernel does not run 32-bit x86 programs: installing QEMU's user-mode emulation" \
        "for Wine's 32-bit side${suite:+ (from $suite)}" >&2
    if [ -n "$suite" ]; then
        mirror=$(debian_mirror)
        echo "deb $mirror $suite main" >/etc/apt/sources.list.d/pelmora-$suite.list
        apt_update || true
    fi
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        ${suite:+-t $suite} qemu-user >&2; then
        echo "${apt_update_problem:-Installing qemu-user failed.}" >&2
        exit 1
    fi
fi
[ -e "$misc/register" ] || mount -t binfmt_misc binfmt_misc "$misc"
[ ! -e "$misc/qemu-i386" ] || echo -1 >"$misc/qemu-i386"
cat "$conf" >"$misc/register"
if ! runs; then
    echo "32-bit x86 programs still do not run under QEMU's emulation: $(loader --version 2>&1 |
        tail -n 1)" >&2
    exit 1
fi
echo "32-bit x86 programs run under QEMU's user-mode emulation ($(qemu-i386 --version | head -n 1))" >&2
