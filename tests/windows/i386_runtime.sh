#!/usr/bin/env bash
# Makes 32-bit Linux programs (the wine32 loader and server) runnable, sourced by
# run_windows_tests.sh. On a kernel that executes i386 binaries nothing is done. On one built
# without 32-bit support (Exec format error) they run under qemu user emulation, registered with
# binfmt_misc so that every exec Wine makes goes through it. Wine needs a qemu of version 8 or
# later there (earlier ones ignore MAP_FIXED_NOREPLACE, and Wine cannot place its shared user
# page); Debian 12 has 7.2, so on it the qemu-user package of bookworm-backports is unpacked
# into QUILLET_QEMU_DIR (not installed). Needs root for binfmt_misc.
#
# After sourcing: i386_setup returns 0 when i386 programs run; I386_EMULATED is 1 when they run
# under qemu (QEMU_CPU then picks the emulated processor).

QUILLET_QEMU_DIR=${QUILLET_QEMU_DIR:-/opt/quillet-qemu}
I386_EMULATED=0

i386_runs() { /lib/ld-linux.so.2 --version > /dev/null 2>&1; }

qemu_major() { "$1" --version 2> /dev/null | sed -n 's/.*version \([0-9]*\)\..*/\1/p' | head -1; }

qemu_good_enough() {
  local major
  [ -x "$1" ] || return 1
  major=$(qemu_major "$1")
  [ -n "$major" ] && [ "$major" -ge 8 ]
}

# Prints the path of a qemu-i386 of version 8 or later, fetching one when none is at hand.
find_qemu_i386() {
  local candidate
  for candidate in "$QUILLET_QEMU_DIR/usr/bin/qemu-i386" "$(command -v qemu-i386 || true)" \
    "$(command -v qemu-i386-static || true)"; do
    if [ -n "$candidate" ] && qemu_good_enough "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done
  local codename suite lists
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  suite=$codename
  [ "$codename" = bookworm ] && suite=bookworm-backports
  lists=$(mktemp -d)
  mkdir -p "$lists/lists/partial" "$lists/cache/archives/partial"
  # The archive the system's own apt sources name (no mirror of our own choosing).
  local mirror
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources 2> /dev/null |
    sed -n -e 's/^URIs: *\([^ ]*\/debian\)$/\1/p' -e 's/^deb  *\([^ []*\/debian\) .*/\1/p' | head -1)
  if [ -z "$mirror" ]; then
    rm -rf "$lists"
    echo "no Debian archive in the apt sources to fetch qemu-user from" >&2
    return 1
  fi
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
    "$mirror $suite main" > "$lists/sources.list"
  local apt_options=(-o "Dir::Etc::sourcelist=$lists/sources.list" -o "Dir::Etc::sourceparts=-"
    -o "Dir::State::Lists=$lists/lists" -o "Dir::Cache=$lists/cache"
    -o "APT::Sandbox::User=root")
  echo "fetching qemu-user from $suite for i386 emulation" >&2
  if ! (apt-get "${apt_options[@]}" update -qq > /dev/null &&
    cd "$lists" && apt-get "${apt_options[@]}" download -qq "qemu-user/$suite" > /dev/null); then
    rm -rf "$lists"
    echo "cannot fetch qemu-user from $suite" >&2
    return 1
  fi
  mkdir -p "$QUILLET_QEMU_DIR"
  dpkg -x "$lists"/qemu-user_*.deb "$QUILLET_QEMU_DIR"
  rm -rf "$lists"
  qemu_good_enough "$QUILLET_QEMU_DIR/usr/bin/qemu-i386" || return 1
  echo "$QUILLET_QEMU_DIR/usr/bin/qemu-i386"
}

i386_setup() {
  if [ ! -e /lib/ld-linux.so.2 ]; then
    echo "no i386 loader: install wine32:i386 (dpkg --add-architecture i386)" >&2
    return 1
  fi
  if i386_runs; then
    # Natively, or through an emulator registered before: find out which.
    if [ -r /proc/sys/fs/binfmt_misc/qemu-i386 ] &&
      grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
      local registered
      registered=$(sed -n 's/^interpreter //p' /proc/sys/fs/binfmt_misc/qemu-i386)
      if qemu_good_enough "$registered"; then
        I386_EMULATED=1
        return 0
      fi
      # An older emulator runs simple programs but not Wine: replace it below.
      echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386 || return 1
      i386_runs && return 0
    else
      return 0
    fi
  fi
  local qemu
  qemu=$(find_qemu_i386) || return 1
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
  fi
  # i386 ELF executables and shared objects (the loader); F: the interpreter is opened now, so
  # it also serves inside other mount namespaces.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
    > /proc/sys/fs/binfmt_misc/register || return 1
  I386_EMULATED=1
  i386_runs
}
