# shellcheck shell=bash
# Sourced by the bodies that run in private namespaces (the benchmarks, the
# demo, the fuzz run): the private /boot and /etc of the tests' harness
# (tests/harness/sandbox.cc), and the fake platform programs.

# Ends the script unless it runs in a mount namespace of its own: every
# mount below would otherwise change the machine. Whoever made the namespace
# names the one it left in ZOVEMO_OUTER_MOUNT_NS (scripts/*, the tests'
# harness); without that name nothing proves the namespace private.
sandbox_require_private() {
  local own
  own=$(readlink /proc/self/ns/mnt)
  if [ -z "${ZOVEMO_OUTER_MOUNT_NS:-}" ] || [ "$own" = "$ZOVEMO_OUTER_MOUNT_NS" ]; then
    echo "${0##*/}: refusing to run outside a private mount namespace (run it through its script in scripts/)" >&2
    exit 1
  fi
}

# sandbox_private_etc WORK: /etc as an overlay whose changes stay in WORK
# (a tmpfs), and an empty tmpfs /etc/tavel_trusted, the tool log's home; an
# empty tmpfs /run too, for the tool's locks in /run/zovemo.
sandbox_private_etc() {
  mount -t tmpfs -o mode=0755 tmpfs /run
  mkdir -p "$1/etc-upper" "$1/etc-work"
  mount -t overlay overlay -o "lowerdir=/etc,upperdir=$1/etc-upper,workdir=$1/etc-work" /etc
  mkdir -p /etc/tavel_trusted
  mount -t tmpfs tmpfs /etc/tavel_trusted
}

# sandbox_private_boot: an empty tmpfs /boot.
sandbox_private_boot() { mount -t tmpfs tmpfs /boot; }

# sandbox_fakes DIR BUILD-DIR: the fake of every platform program the tool
# runs (its own default answers: /boot on (hd0,gpt2)) in DIR, bound over
# /usr/local/sbin, the first directory of the tool's search path.
sandbox_fakes() {
  local name
  mkdir -p "$1"
  for name in grub-probe grub2-probe grub-mkrelpath grub2-mkrelpath df dmidecode; do
    cp "$2/tests/fake_platform_tool" "$1/$name"
  done
  mount --bind "$1" /usr/local/sbin
}
