#!/usr/bin/env bash
# Builds kavrel and runs its whole test suite on 32-bit ARM (armhf), emulated.
#
#   tools/armhf.sh [test]   build and run `make test` inside the armhf root (the default)
#   tools/armhf.sh shell    open a shell in the armhf root, in the copy of the source tree
#
# The first run makes a Debian bookworm root for armhf with debootstrap and caches it under
# .armhf/ (git ignores it); later runs reuse it. Inside, the root's own python3, g++ and cmake
# build the package exactly as `make test` does on the host, with its own venv (.venv-armhf)
# and build directory, so the suite that runs is the host's suite.
#
# Needs: root, Linux with binfmt_misc, and network access to a Debian mirror and to PyPI. Missing
# host tools are installed with apt-get when it is there.
#
# Environment:
#   ARMHF_DIR     where the root and its copy of the source live (default: <repo>/.armhf)
#   ARMHF_MIRROR  Debian mirror for the root (default: the host's own bookworm mirror)
#   PYTEST_ARGS   passed on to pytest, as for `make test`
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ARMHF_DIR=${ARMHF_DIR:-$REPO/.armhf}
ROOT=$ARMHF_DIR/root
SUITE=bookworm
# What the root needs beyond debootstrap's minimal base: the toolchain `make test` uses, and
# tzdata/ca-certificates so the suite sees the same zones and trusts the same hosts as on x86_64.
PACKAGES=(python3 python3-venv python3-dev g++ cmake make ca-certificates tzdata)
SRC_IN_ROOT=/src/kavrel
VENV_NAME=.venv-armhf
READY_MARK=$ROOT/.kavrel-armhf-root
# Packages that have no armhf wheel on PyPI and would otherwise be compiled from source for hours
# under emulation; refusing their source makes a misplaced test dependency fail at once.
NO_SOURCE_BUILDS=duckdb,snowflake-snowpark-python,snowflake-connector-python,pyarrow

log() { printf 'armhf: %s\n' "$*" >&2; }
die() {
    printf 'armhf: error: %s\n' "$*" >&2
    exit 1
}

SECONDS_AT_START=$SECONDS
step_started=$SECONDS
step() {
    step_started=$SECONDS
    log "$*"
}
step_done() {
    local took=$((SECONDS - step_started))
    log "$* ($((took / 60))m$((took % 60))s)"
}

# ---------------------------------------------------------------------------- host tools

need_root_user() {
    [ "$(id -u)" -eq 0 ] && return
    die "needs root (debootstrap, chroot and mounts need it): run 'sudo make test-armhf'"
}

install_host_packages() {
    command -v apt-get >/dev/null ||
        die "missing on this machine: $*; install them (Debian/Ubuntu packages: $*) and rerun"
    log "installing on this machine with apt-get: $*"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq ||
        die "apt-get update failed; install $* by hand and rerun"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null ||
        die "apt-get install $* failed; install them by hand and rerun"
}

ensure_host_tools() {
    local wanted=()
    command -v debootstrap >/dev/null || wanted+=(debootstrap)
    command -v qemu-arm-static >/dev/null || wanted+=(qemu-user-static)
    # debootstrap fetches with wget and checks the mirror's signature with gpgv and the keyring.
    command -v wget >/dev/null || wanted+=(wget)
    command -v gpgv >/dev/null || wanted+=(gpgv)
    [ -e /usr/share/keyrings/debian-archive-keyring.gpg ] || wanted+=(debian-archive-keyring)
    command -v unshare >/dev/null || wanted+=(util-linux)
    if [ ${#wanted[@]} -gt 0 ]; then install_host_packages "${wanted[@]}"; fi
    QEMU=$(command -v qemu-arm-static)
}

# The host's bookworm mirror (one-line or deb822 sources), so the root comes from the same place.
host_mirror() {
    local f uri
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -r "$f" ] || continue
        uri=$(awk -v s="$SUITE" '$1 == "deb" {
                  i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                  if ($(i + 1) == s && $i !~ /security/) { print $i; exit } }' "$f")
        [ -n "$uri" ] && { echo "$uri"; return; }
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -r "$f" ] || continue
        uri=$(awk -v s="$SUITE" '
                  /^[ \t]*$/ { if (ok && u != "") { print u; exit } ok = 0; u = ""; next }
                  tolower($1) == "uris:" && $2 !~ /security/ { u = $2 }
                  tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == s) ok = 1 }
                  END { if (ok && u != "") print u }' "$f" | head -n1)
        [ -n "$uri" ] && { echo "$uri"; return; }
    done
    echo http://deb.debian.org/debian
}

# ---------------------------------------------------------------------------- emulation

BINFMT=/proc/sys/fs/binfmt_misc
# The kernel runs ARM binaries through qemu when qemu-arm is registered with binfmt_misc; the F
# flag opens the interpreter at registration, so it works inside the chroot without a copy.
QEMU_ARM_BINFMT=':qemu-arm:M::\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# proot -q is no way around it: under proot the 32-bit guest fails to see some files of the root
# (g++ cannot find cc1plus), so the build cannot run there.
ensure_binfmt() {
    register_binfmt && return
    die "cannot register qemu-arm with binfmt_misc ($BINFMT): needs a kernel with binfmt_misc and
  the right to mount it and write its register (not in an unprivileged container); as root:
  modprobe binfmt_misc; mount -t binfmt_misc binfmt_misc $BINFMT"
}

register_binfmt() {
    if [ ! -e $BINFMT/register ]; then
        mount -t binfmt_misc binfmt_misc $BINFMT 2>/dev/null || return 1
    fi
    if [ -e $BINFMT/qemu-arm ]; then
        grep -qx enabled $BINFMT/qemu-arm || echo 1 >$BINFMT/qemu-arm || return 1
        return 0
    fi
    local line
    if [ -r /usr/lib/binfmt.d/qemu-arm.conf ]; then
        line=$(grep -v '^#' /usr/lib/binfmt.d/qemu-arm.conf | head -n1)
    else
        line="$QEMU_ARM_BINFMT:$QEMU:OCF"
    fi
    printf '%s' "$line" >$BINFMT/register 2>/dev/null || return 1
    [ -e $BINFMT/qemu-arm ]
}

# Runs a command inside the root. The mounts live in a private mount namespace, so they vanish
# with the command and never show on the host (an `rm -rf .armhf` stays harmless).
in_root() {
    local env=(env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}"
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
        PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1
        PIP_ONLY_BINARY="$NO_SOURCE_BUILDS" CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)")
    local var
    for var in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY PYTEST_ARGS; do
        [ -n "${!var:-}" ] && env+=("$var=${!var}")
    done
    unshare --mount --propagation private -- sh -c '
        root=$1; shift
        mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
            mount -t sysfs sysfs "$root/sys" && exec chroot "$root" "$@"' \
        sh "$ROOT" "${env[@]}" "$@"
}

# ---------------------------------------------------------------------------- the root

refuse_if_mounted() {
    if awk -v d="$1" '$2 == d || index($2, d "/") == 1 { found = 1 } END { exit !found }' \
        /proc/self/mounts; then
        die "something is mounted under $1; unmount it before the root is rebuilt"
    fi
}

create_root() {
    local mirror=${ARMHF_MIRROR:-$(host_mirror)} tmp=$ROOT.partial
    refuse_if_mounted "$tmp"
    rm -rf "$tmp"
    mkdir -p "$ARMHF_DIR"
    step "creating the armhf $SUITE root in $ROOT from $mirror (first run only; takes a while)"
    local include
    include=$(
        IFS=,
        echo "${PACKAGES[*]}"
    )
    nice debootstrap --arch=armhf --variant=minbase --include="$include" $SUITE "$tmp" "$mirror" \
        >"$ARMHF_DIR/debootstrap.log" 2>&1 ||
        die "debootstrap failed (see $ARMHF_DIR/debootstrap.log); a mirror other than $mirror
  can be given as ARMHF_MIRROR=URL"
    mv "$tmp" "$ROOT"
    echo "${PACKAGES[*]}" >"$READY_MARK"
    step_done "root created"
}

# Installs packages added to PACKAGES since the root was made, instead of rebuilding it.
complete_root() {
    [ "$(cat "$READY_MARK" 2>/dev/null)" = "${PACKAGES[*]}" ] && return
    step "installing into the root: ${PACKAGES[*]}"
    in_root sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "$@" >/dev/null' sh "${PACKAGES[@]}" ||
        die "apt-get inside the root failed"
    echo "${PACKAGES[*]}" >"$READY_MARK"
    step_done "root packages installed"
}

# The root gets the host's name resolution and the host's extra certificate authorities (a
# machine whose traffic goes through an inspecting proxy trusts that proxy's CA there).
share_host_settings() {
    cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"
    cp -L /etc/hosts "$ROOT/etc/hosts"
    # A qemu-arm registered earlier without the F flag is looked up inside the root at its path.
    local interpreter
    interpreter=$(awk '$1 == "interpreter" { print $2 }' $BINFMT/qemu-arm)
    if ! grep -q '^flags:.*F' $BINFMT/qemu-arm && [ ! -e "$ROOT$interpreter" ]; then
        mkdir -p "$(dirname "$ROOT$interpreter")" && cp "$QEMU" "$ROOT$interpreter"
    fi
    local here=/usr/local/share/ca-certificates there=$ROOT/usr/local/share/ca-certificates
    if [ -d $here ] && ! diff -r -q $here "$there" >/dev/null 2>&1; then
        rm -rf "$there" && cp -r $here "$there"
        local out
        out=$(in_root update-ca-certificates 2>&1) || die "update-ca-certificates inside the root failed: $out"
    fi
}

ensure_root() {
    if [ ! -e "$ROOT/usr/bin/python3" ]; then
        refuse_if_mounted "$ROOT"
        rm -rf "$ROOT"
        create_root
    fi
    share_host_settings
    in_root /bin/true || die "the armhf root at $ROOT does not run under qemu-arm; remove it
  (rm -rf $ROOT) to have it made again"
    complete_root
}

# ---------------------------------------------------------------------------- the source

# The source tree as git sees it (tracked and new files, uncommitted edits included) replaces the
# copy in the root; the venv and the build directory stay, so later runs rebuild incrementally.
sync_source() {
    local dest=$ROOT$SRC_IN_ROOT
    mkdir -p "$dest"
    find "$dest" -mindepth 1 -maxdepth 1 ! -name "$VENV_NAME" ! -name build -exec rm -rf {} +
    if git -C "$REPO" rev-parse --git-dir >/dev/null 2>&1; then
        (cd "$REPO" && git ls-files -z --cached --others --exclude-standard |
            xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
            tar --null -T - -cf -) | tar -C "$dest" -xf -
    else
        tar -C "$REPO" --exclude=./.armhf --exclude='./.venv*' --exclude=./build -cf - . |
            tar -C "$dest" -xf -
    fi
}

run_tests() {
    step "building and testing inside the armhf root (make test VENV=$VENV_NAME)"
    local status=0
    in_root nice sh -c 'cd "$1" && uname -m && python3 --version &&
        make test VENV="$2" PYTEST_ARGS="${PYTEST_ARGS:-}"' sh "$SRC_IN_ROOT" "$VENV_NAME" ||
        status=$?
    step_done "make test inside the armhf root finished with status $status"
    if [ $status -ne 0 ]; then
        log "if pip could not install a test dependency: only packages with armhf wheels or pure"
        log "Python sources may be in the 'test' extra; optional ones belong in their own extra"
    fi
    return $status
}

main() {
    local what=${1:-test}
    case $what in
    test | shell) ;;
    *) die "unknown command '$what' (use: test, shell)" ;;
    esac
    [ "$(uname -s)" = Linux ] || die "needs Linux (chroot, binfmt_misc)"
    need_root_user
    ensure_host_tools
    # One run at a time per root: two would rebuild the same copy of the source under each other.
    mkdir -p "$ARMHF_DIR"
    exec 9>"$ARMHF_DIR/.lock"
    flock -n 9 || die "another run is using $ARMHF_DIR; wait for it to finish"
    ensure_binfmt
    ensure_root
    sync_source
    if [ "$what" = shell ]; then
        in_root sh -c 'cd "$1" && exec bash -i' sh "$SRC_IN_ROOT"
        return
    fi
    local status=0
    run_tests || status=$?
    local took=$((SECONDS - SECONDS_AT_START))
    log "total $((took / 60))m$((took % 60))s; $([ $status -eq 0 ] && echo passed || echo FAILED)"
    return $status
}

main "$@"; exit
