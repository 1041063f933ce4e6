#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
# qemu-user runs the foreign programs through binfmt_misc, keeping argv[0] as
# given (P) and opened once at registration (F), so that it still runs inside
# a chroot. Some kernels are built to run no 32-bit x86 program either.
binfmt=/proc/sys/fs/binfmt_misc
register_qemu() {
    local name=qemu-$1 magic=$2 mask=$3
    mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt
    # A registration without F cannot reach qemu from inside a chroot.
    if [ -e $binfmt/$name ] && ! grep -q '^flags: .*F' $binfmt/$name; then
        echo -1 >$binfmt/$name
    fi
    [ -e $binfmt/$name ] ||
        printf '%s' ":$name:M::$magic:$mask:/usr/bin/$name-static:FP" >$binfmt/register
    grep -qsx enabled $binfmt/$name
}
for cpu in aarch64 arm; do
    register_qemu $cpu "$(sed -n 's/^magic //p' /usr/share/binfmts/qemu-$cpu)" \
        "$(sed -n 's/^mask //p' /usr/share/binfmts/qemu-$cpu)"
done
if ! i386_emulated && ! { build/linux-i386/talvor >/dev/null 2>&1 || [ $? -ne 126 ]; }; then
    echo "CI: this kernel runs no 32-bit program; running them under qemu-user"
    register_qemu i386 '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
        '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
fi
