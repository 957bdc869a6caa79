# shellcheck shell=bash
# Sourced first by each as-installed test. The test runs again in mount and
# network namespaces of its own: /boot is a tmpfs holding the sample boot
# tree, /run an empty tmpfs, /etc, /usr and /var are overlays whose changes
# vanish with the namespace, simulated GRUB tools, df and dmidecode stand in /usr/local/sbin
# (first on the tool's search path) for a machine with /boot on (hd0,gpt2),
# and a software TPM answers on the namespace's own loopback. A machine TPM
# is hidden. The test's own commands and checks follow the sourcing.
set -euo pipefail

if [ -z "${ZOVEMO_TEST_OUTER_NS:-}" ]; then
  ZOVEMO_TEST_OUTER_NS=$(readlink /proc/self/ns/mnt)
  export ZOVEMO_TEST_OUTER_NS
  exec unshare --mount --net --propagation private bash "$0" "$@"
fi
fail() { echo "FAILED: ${0##*/}: $*" >&2; exit 1; }
[ "$(readlink /proc/self/ns/mnt)" != "$ZOVEMO_TEST_OUTER_NS" ] || fail "not in a private mount namespace"

sample=$(realpath "$(dirname "$0")/../../sample/boot")
scratch=$(mktemp -d "${AUTOPKGTEST_TMP:-/tmp}/sandbox.XXXXXX")
mount -t tmpfs sandbox "$scratch"
swtpm_pid=
trap '[ -z "$swtpm_pid" ] || kill "$swtpm_pid" 2>/dev/null || true' EXIT

if [ -e /dev/tpm0 ] || [ -e /dev/tpmrm0 ]; then
  mkdir "$scratch/dev" "$scratch/dev/shm"
  for node in null zero full random urandom tty; do
    touch "$scratch/dev/$node"
    mount --bind "/dev/$node" "$scratch/dev/$node"
  done
  ln -s /proc/self/fd "$scratch/dev/fd"
  mount --move "$scratch/dev" /dev
fi
for dir in etc usr var; do
  mkdir "$scratch/$dir.upper" "$scratch/$dir.work"
  mount -t overlay "$dir" -o "lowerdir=/$dir,upperdir=$scratch/$dir.upper,workdir=$scratch/$dir.work" "/$dir"
done
mount -t tmpfs boot /boot
# The tool keeps its root-only locks in /run/zovemo: the namespace gets its own.
mount -t tmpfs -o mode=0755 run /run
cp -a "$sample/." /boot/
[ -d /etc/tavel_trusted ] || mkdir -m 0700 /etc/tavel_trusted

fake() {  # fake NAME SHELL-BODY
  printf '#!/bin/sh\n%s\n' "$2" >"/usr/local/sbin/$1"
  chmod 0755 "/usr/local/sbin/$1"
}
mkdir -p /usr/local/sbin
fake grub-probe 'echo hd0,gpt2'
# shellcheck disable=SC2016  # the fake expands its own arguments
fake grub-mkrelpath 'for last; do :; done; printf "%s\n" "$last"'
fake df 'printf "Filesystem 1K-blocks Used Available Use%% Mounted on\n/dev/mapper/vg-root 1000 10 990 1%% /\n"'
fake dmidecode 'printf "\tManufacturer: QEMU\n"'

ip link set lo up
swtpm socket --tpm2 --tpmstate "dir=$scratch" --server type=tcp,port=2321 --ctrl type=tcp,port=2322 \
  --flags not-need-init,startup-clear >"$scratch/swtpm.log" 2>&1 &
swtpm_pid=$!
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/2321) 2>/dev/null && break; sleep 0.1; done
(exec 3<>/dev/tcp/127.0.0.1/2321) 2>/dev/null || fail "swtpm did not start: $(cat "$scratch/swtpm.log")"
export TPM2TOOLS_TCTI="swtpm:host=localhost,port=2321"

# zovemo_config reports a failed command by a notice as its last line.
config() {
  local output
  output=$(/usr/sbin/zovemo_config "$@" 2>"$scratch/config.stderr") ||
    fail "zovemo_config $* exited $?: $(cat "$scratch/config.stderr")"
  case ${output##*$'\n'} in
  *failed | *" not exist, init first" | "input absolute path" | "start trust_startup first")
    fail "zovemo_config $*: ${output##*$'\n'}: $(cat "$scratch/config.stderr")" ;;
  esac
}
# expect_status STATUS [OPTION...]: zovemo_status ends with that status.
# The software TPM has no SM3-256 PCR bank, so a baseline in step reads
# UNKNOWN (3) with the TPM: its PCR snapshot cannot be compared. In step is
# therefore checked without the TPM (expect_in_step), and the snapshot
# finding on its own where the test says so.
expect_status() {
  local expected=$1 status=0
  shift
  /usr/sbin/zovemo_status --quiet "$@" || status=$?
  [ "$status" = "$expected" ] || fail "zovemo_status $* exited $status, expected $expected"
}
# The baseline and the files agree.
expect_in_step() { expect_status 0 --no-tpm; }
