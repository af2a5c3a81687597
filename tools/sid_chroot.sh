#!/usr/bin/env bash
# A chroot of Debian's development suite (sid), for the interpreters this machine's
# own release lacks: CPython 3.14 and 3.15 (amd64 and, under qemu, arm64).
#
#   tools/sid_chroot.sh make ARCH       make build/sid-ARCH unless it is already there
#   tools/sid_chroot.sh run ARCH CMD..  run CMD inside it (as root, in the repository)
#
# ARCH is amd64 or arm64. The chroot is kept under build/ and reused while its
# package list is the same; `make clean` (or removing the folder) starts it anew.
# `run` mounts /proc, /dev and the folder that holds the repository (so ../shared
# is there too, at the same path; a $VELQ_SHARED_DIR elsewhere is mounted at its
# own path and passed on) in a mount namespace of its own, so nothing
# stays mounted when it returns. arm64 needs qemu-user-static and binfmt_misc;
# `ensure_binfmt` mounts and enables them where the kernel allows it.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
HOST_ARCH="$(dpkg --print-architecture)"

# What each chroot holds: the amd64 one builds the module from source (and the
# aarch64 wheels, whose interpreter headers come from Debian's arm64 packages);
# the arm64 one only installs the wheels built here, so it needs no compiler.
PACKAGES_amd64="python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++ cmake ninja-build libboost-dev libfast-float-dev ca-certificates \
  libpython3.14-dev:arm64 libpython3.15-dev:arm64"
PACKAGES_arm64="python3.13-venv python3.14-venv python3.15-venv ca-certificates"

die() { echo "sid_chroot: $*" >&2; exit 1; }

# The Debian mirror to make the chroot from: $VELQ_SID_MIRROR, else the one this
# machine's apt uses (deb822 or one-line sources). No address is built in.
mirror() {
  local uri=${VELQ_SID_MIRROR:-}
  [ -n "$uri" ] || uri=$(grep -hs -E '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | grep -v -- '-security' | head -n 1 || true)
  [ -n "$uri" ] || uri=$(grep -hs -E '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list | awk '{print $2}' | grep -v -- '-security' | head -n 1 || true)
  [ -n "$uri" ] || die "no Debian mirror: apt's sources name none; set VELQ_SID_MIRROR to the address of one"
  echo "$uri"
}

ensure_binfmt() {
  [ "$1" = "$HOST_ARCH" ] && return 0
  local qemu=aarch64
  [ "$1" = arm64 ] || die "no emulation set up for $1"
  [ -x /usr/bin/qemu-$qemu-static ] || die "qemu-user-static is not installed (make deps installs it)"
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || die "cannot mount binfmt_misc: $1 programs cannot run here"
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-$qemu ]; then
    update-binfmts --enable qemu-$qemu >/dev/null 2>&1 || update-binfmts --import qemu-$qemu >/dev/null 2>&1 || true
  fi
  grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-$qemu 2>/dev/null || die "binfmt_misc has no enabled qemu-$qemu entry"
}

make_chroot() {
  local arch=$1 dir="$ROOT/build/sid-$1"
  local packages_var="PACKAGES_$arch"
  local packages="${!packages_var}"
  if [ -f "$dir/.velq-packages" ] && [ "$(cat "$dir/.velq-packages")" = "$packages" ]; then
    return 0
  fi
  command -v debootstrap >/dev/null || die "debootstrap is not installed (make deps installs it)"
  ensure_binfmt "$arch"
  local mirror_uri
  mirror_uri=$(mirror)
  local started=$SECONDS
  rm -rf "$dir"
  mkdir -p "$ROOT/build"
  echo "sid_chroot: making $dir from $mirror_uri"
  local log="$ROOT/build/sid-$arch.log"
  if [ "$arch" = "$HOST_ARCH" ]; then
    debootstrap --variant=minbase --arch="$arch" sid "$dir" "$mirror_uri" >"$log" 2>&1 \
      || { tail -n 20 "$log"; die "debootstrap failed"; }
    # apt of the chroot installs from the same mirror. The suite's Release file
    # may be past its Valid-Until date when the mirror is a dated snapshot.
    echo 'Acquire::Check-Valid-Until "false";' >"$dir/etc/apt/apt.conf.d/99velq"
    in_chroot "$arch" bash -c "dpkg --add-architecture arm64 && apt-get update -q &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $packages && apt-get clean" \
      >>"$log" 2>&1 || { tail -n 20 "$log"; die "installing packages failed"; }
  else
    # Nothing runs under emulation while the chroot is made: configuring the
    # packages there (debootstrap's second stage, apt) takes over twenty
    # minutes. The first stage unpacks the base system on the host; the host's
    # apt then resolves and fetches the interpreters for this architecture, and
    # they are unpacked beside it. The interpreters need no configuring, but for
    # byte-compiling their library, which they do on first import.
    debootstrap --variant=minbase --arch="$arch" --foreign sid "$dir" "$mirror_uri" >"$log" 2>&1 \
      || { tail -n 20 "$log"; die "debootstrap failed"; }
    local apt="$ROOT/build/sid-$arch-apt"
    rm -rf "$apt" && mkdir -p "$apt/lists/partial" "$apt/archives/partial"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror_uri sid main" >"$apt/sources.list"
    touch "$apt/status"
    local options=(-o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
      -o Dir::State::Lists="$apt/lists" -o Dir::State::status="$apt/status" -o Dir::Cache::Archives="$apt/archives"
      -o APT::Architecture="$arch" -o APT::Architectures="$arch" -o Acquire::Check-Valid-Until=false
      -o Debug::NoLocking=1 -q)
    { apt-get "${options[@]}" update && apt-get "${options[@]}" install -y --download-only --no-install-recommends $packages; } \
      >>"$log" 2>&1 || { tail -n 20 "$log"; die "fetching packages failed"; }
    local deb
    for deb in "$apt"/archives/*.deb; do
      dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$dir" || die "unpacking $deb failed"
    done
    rm -rf "$apt"
    # The first stage leaves /proc a symbolic link to the host's; `run` mounts a
    # proc file system there.
    if [ -L "$dir/proc" ]; then rm "$dir/proc" && mkdir "$dir/proc"; fi
  fi
  echo "$packages" >"$dir/.velq-packages"
  echo "sid_chroot: $dir made in $((SECONDS - started)) s"
}

# Runs a command in the chroot, in a private mount namespace.
in_chroot() {
  local arch=$1 dir="$ROOT/build/sid-$1"
  shift
  local outer
  outer="$(dirname "$ROOT")"
  ensure_binfmt "$arch"
  # The host's resolver and certificate bundle (the bundle may hold a local
  # authority that pip needs to reach PyPI).
  cp -L /etc/resolv.conf "$dir/etc/resolv.conf"
  mkdir -p "$dir/etc/ssl/host" && cp -L /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/host/ca-certificates.crt"
  # (The unconfigured arm64 chroot has no bundle of its own.)
  [ -e "$dir/etc/ssl/certs/ca-certificates.crt" ] || cp "$dir/etc/ssl/host/ca-certificates.crt" "$dir/etc/ssl/certs/"
  # The shared test data ($VELQ_SHARED_DIR, else ../shared) may be a folder
  # elsewhere, or a link to one: that folder is mounted too.
  local shared
  shared="$(readlink -f "${VELQ_SHARED_DIR:-$outer/shared}" 2>/dev/null || true)"
  unshare --mount --propagation private -- bash -c '
    set -e
    dir=$1 outer=$2 root=$3 shared=$4; shift 4
    mount -t proc proc "$dir/proc"
    mount --rbind /dev "$dir/dev"
    mkdir -p "$dir$outer"
    mount --bind "$outer" "$dir$outer"
    if [ -d "$shared" ] && [ "$shared" != "$outer/shared" ]; then
      mkdir -p "$dir$shared"
      mount --bind "$shared" "$dir$shared"
    fi
    data=()
    [ -d "$shared" ] && data=("VELQ_SHARED_DIR=$shared")
    exec chroot "$dir" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root LANG=C.UTF-8 \
      PIP_CERT=/etc/ssl/host/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 "${data[@]}" \
      bash -c "cd \"\$0\" && exec \"\$@\"" "$root" "$@"
  ' velq-chroot "$dir" "$outer" "$ROOT" "$shared" "$@"
}

case "${1:-}" in
  make) [ $# = 2 ] || die "usage: $0 make ARCH"; make_chroot "$2" ;;
  run) [ $# -ge 3 ] || die "usage: $0 run ARCH CMD..."; arch=$2; shift 2; make_chroot "$arch"; in_chroot "$arch" "$@" ;;
  *) die "usage: $0 make ARCH | run ARCH CMD..." ;;
esac
