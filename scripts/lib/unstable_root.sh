#!/usr/bin/env bash
# Debian unstable's CPythons (3.14, its debug build 3.14d, 3.15 from
# experimental) and g++ 16, in a root that debootstrap makes once and that is
# kept outside the checkout, so every clone of the machine reuses it.
#
#   bash scripts/lib/unstable_root.sh setup         # make it (a few minutes), or find it made
#   bash scripts/lib/unstable_root.sh dir           # its folder; fails when it is not made
#   bash scripts/lib/unstable_root.sh run CMD...    # CMD inside it, from the current folder
#   bash scripts/lib/unstable_root.sh onhost 3.14   # that CPython run on the host (below)
#   bash scripts/lib/unstable_root.sh onhost-include  # the folder its headers need on the host
#
# The root is $ZORMSG_CACHE (default ~/.cache/zormsg)/unstable-root-<hash of
# the recipe below>: a changed recipe makes a new root beside the old one
# (remove old ones by hand). Making and entering it need root (chroot, mounts).
#
# `run` enters it in a mount namespace of its own, with /proc, /dev, /tmp (and
# $TMPDIR), the checkout, the host's resolver and its pip configuration (with
# the CA bundle and the local folders it names) mounted at their own paths,
# and $ZORMSG_CACHE/unstable-root-cache as its ~/.cache (ccache, pip), which
# outlives the roots; nothing stays mounted after CMD ends. The suite's
# Release files are past their Valid-Until date on the machines here, so apt
# does not check it.
#
# `onhost`: the host's C library is older than these interpreters need, so
# they run on the host with the root's own loader and libraries. Wheels are
# built that way, with the host's compiler against the host's C library, so
# they are no newer than the other wheels.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
CHECKOUT=$(cd "$HERE/../.." && pwd)
CACHE=${ZORMSG_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zormsg}

SUITE=sid
PACKAGES=(python3.14-dev python3.14-venv python3.14-dbg g++ cmake ninja-build ccache ca-certificates patchelf
  libgtest-dev nlohmann-json3-dev libspdlog-dev libfmt-dev)
EXPERIMENTAL=(python3.15-dev python3.15-venv)
ONHOST=(3.14 3.15)
RECIPE="1 $SUITE ${PACKAGES[*]} / ${EXPERIMENTAL[*]} / ${ONHOST[*]}"
ROOT=$CACHE/unstable-root-$(printf '%s' "$RECIPE" | sha256sum | cut -c1-12)
READY=$ROOT/.zormsg-ready
MULTIARCH=x86_64-linux-gnu

die() { echo "unstable_root: $*" >&2; exit 1; }

# The Debian mirror the host's own apt sources use.
mirror() {
  if [ -n "${ZORMSG_DEBIAN_MIRROR:-}" ]; then echo "$ZORMSG_DEBIAN_MIRROR"; return; fi
  local uri
  uri=$({ sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
          sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null; } |
        grep -E '/debian/?$' | head -n 1)
  [ -n "$uri" ] || die "no Debian mirror in the host's apt sources; set ZORMSG_DEBIAN_MIRROR"
  echo "${uri%/}"
}

# Host paths that pip in the root needs at the same place: its configuration,
# the CA bundles named, and the local folders its index and links name.
pip_paths() {
  local files=(/etc/pip.conf /etc/xdg/pip "$HOME/.config/pip" "$HOME/.pip" ${PIP_CONFIG_FILE:-})
  local f
  for f in "${files[@]}"; do [ -e "$f" ] && echo "$f"; done
  for f in /etc/ssl/certs/ca-certificates.crt ${SSL_CERT_FILE:-} ${PIP_CERT:-} ${REQUESTS_CA_BUNDLE:-}; do
    [ -f "$f" ] && echo "$f"
  done
  { for f in "${files[@]}"; do [ -f "$f" ] && cat "$f"; [ -d "$f" ] && cat "$f"/*.conf 2>/dev/null; done
    env | sed -n 's/^PIP_[A-Z_]*=//p'; } |
    grep -oE '(file://)?/[^[:space:]"'\'',]+' | sed 's|^file://||' | while read -r p; do
      # Never a top-level folder or one of the system's own.
      case "$p" in /*/*) ;; *) continue ;; esac
      case "$p" in /usr/*|/lib*|/bin/*|/sbin/*|/proc/*|/dev/*|/sys/*) continue ;; esac
      # A local index links its files from beside its simple/ folder.
      case "$p" in */simple|*/simple/) p=$(dirname "$p") ;; esac
      [ -e "$p" ] && echo "$p"
    done
  true
}

# Runs inside `unshare --mount`: mounts, then CMD in the root. Arguments:
# ROOT CWD CMD...
inside() {
  local root=$1 cwd=$2 p
  shift 2
  mount --make-rprivate /
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --bind /tmp "$root/tmp"
  if [ -n "${TMPDIR:-}" ] && [ -d "$TMPDIR" ] && [ "${TMPDIR#/tmp}" = "$TMPDIR" ]; then
    mkdir -p "$root$TMPDIR"; mount --bind "$TMPDIR" "$root$TMPDIR"
  fi
  case "$CHECKOUT/" in
    /tmp/*) ;;
    *) mkdir -p "$root$CHECKOUT"; mount --bind "$CHECKOUT" "$root$CHECKOUT" ;;
  esac
  while read -r p; do
    [ -n "$p" ] || continue
    case "$p/" in /tmp/*|"$CHECKOUT"/*) continue ;; esac
    if [ -d "$p" ]; then mkdir -p "$root$p"; else mkdir -p "$(dirname "$root$p")"; [ -e "$root$p" ] || : >"$root$p"; fi
    mount --bind "$p" "$root$p"
    mount -o remount,bind,ro "$root$p"
  done < <(printf '%s\n' /etc/resolv.conf /etc/hosts; pip_paths | sort -u)
  # ccache's and pip's caches outlive the root: a new recipe starts warm.
  mkdir -p "$CACHE/unstable-root-cache" "$root/root/.cache"
  mount --bind "$CACHE/unstable-root-cache" "$root/root/.cache"
  [ -d "$root$cwd" ] || cwd=/
  # The host's ccache folder is not in the root: the root has its own.
  exec chroot "$root" /usr/bin/env -u CCACHE_DIR -C "$cwd" \
    PATH="${PATH:+$PATH:}/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin" "$@"
}

run_in() {  # ROOT CMD...: CMD inside ROOT from the current folder
  local root=$1
  shift
  [ "$(id -u)" -eq 0 ] || die "entering the root needs root (chroot and mounts)"
  exec unshare --mount -- bash "$HERE/unstable_root.sh" __inside "$root" "$PWD" "$@"
}

# The host-side launcher of one CPython of the root: beside its binary, so the
# interpreter (and a venv made with it) finds its standard library.
write_onhost() {
  local root=$1 final=$2 line=$3
  cat >"$root/usr/bin/python$line-onhost" <<EOF
#!/bin/sh
# CPython $line of $final, run on the host with that root's loader and libraries.
exec "$final/usr/lib/$MULTIARCH/ld-linux-x86-64.so.2" --library-path "$final/usr/lib/$MULTIARCH" \\
  --argv0 "\$0" "$final/usr/bin/python$line" "\$@"
EOF
  chmod +x "$root/usr/bin/python$line-onhost"
  # Python.h includes <$MULTIARCH/python$line/pyconfig.h> from the system
  # folders: this one holds only that, so no other header of the root is seen.
  mkdir -p "$root/usr/local/share/zormsg-onhost/include/$MULTIARCH"
  ln -sfn "$final/usr/include/$MULTIARCH/python$line" "$root/usr/local/share/zormsg-onhost/include/$MULTIARCH/python$line"
}

setup() {
  [ -e "$READY" ] && return 0
  [ "$(id -u)" -eq 0 ] || die "making the root needs root (debootstrap, chroot)"
  mkdir -p "$CACHE"
  exec 9>"$CACHE/unstable-root.lock"
  flock 9
  [ -e "$READY" ] && return 0
  if ! command -v debootstrap >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  fi
  local tmp=$ROOT.new start=$SECONDS url
  url=$(mirror)
  rm -rf "$tmp"
  echo "unstable_root: making $ROOT from $url ($SUITE, experimental)"
  debootstrap --variant=minbase --include="$(IFS=,; echo "${PACKAGES[*]}")" "$SUITE" "$tmp" "$url" \
    >"$CACHE/unstable-root.log" 2>&1 || { tail -n 30 "$CACHE/unstable-root.log"; die "debootstrap failed"; }
  printf 'deb %s %s main\ndeb %s experimental main\n' "$url" "$SUITE" "$url" >"$tmp/etc/apt/sources.list"
  printf 'Acquire::Check-Valid-Until "false";\n' >"$tmp/etc/apt/apt.conf.d/99zormsg"
  (
    run_in "$tmp" sh -c 'apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -t experimental "$@" >/dev/null && apt-get clean' \
      sh "${EXPERIMENTAL[@]}"
  ) >>"$CACHE/unstable-root.log" 2>&1 || { tail -n 30 "$CACHE/unstable-root.log"; die "apt-get in the root failed"; }
  local line
  for line in "${ONHOST[@]}"; do write_onhost "$tmp" "$ROOT" "$line"; done
  rm -rf "$ROOT"
  mv "$tmp" "$ROOT"
  for line in "${ONHOST[@]}" 3.14d; do
    (run_in "$ROOT" "python$line" -c 'import ensurepip, ssl, sys, venv; print(sys.version.split()[0])') >/dev/null ||
      die "python$line does not run in $ROOT"
  done
  for line in "${ONHOST[@]}"; do
    "$ROOT/usr/bin/python$line-onhost" -c 'import ssl, sysconfig, venv' || die "python$line does not run on the host"
  done
  echo "$RECIPE" >"$READY"
  echo "unstable_root: made in $((SECONDS - start))s: $(cd "$ROOT" && for l in "${ONHOST[@]}"; do
    chroot . "python$l" -c 'import sys; print("CPython", sys.version.split()[0], end=", ")'; done)$(chroot "$ROOT" g++ --version | head -n 1)"
}

case "${1:-}" in
  setup) setup ;;
  dir) [ -e "$READY" ] || die "not made yet: bash scripts/lib/unstable_root.sh setup"; echo "$ROOT" ;;
  run) shift; [ -e "$READY" ] || die "not made yet: bash scripts/lib/unstable_root.sh setup"; run_in "$ROOT" "$@" ;;
  onhost) [ -e "$READY" ] || die "not made yet"; echo "$ROOT/usr/bin/python${2:?X.Y}-onhost" ;;
  onhost-include) [ -e "$READY" ] || die "not made yet"; echo "$ROOT/usr/local/share/zormsg-onhost/include" ;;
  __inside) shift; inside "$@" ;;
  *) sed -n '2,/^set -/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
