# shellcheck shell=bash
# What CI needs root for, before any check: the packages this machine lacks,
# and the emulators that run ARM programs. Sourced by .ci/run.

install_missing_packages() {
    packages=(git g++ clang cmake ninja-build libgtest-dev libbenchmark-dev groff-base clang-format cppcheck dpkg-dev lintian \
        file xfsprogs e2fsprogs acl attr util-linux devscripts g++-mingw-w64-x86-64 wine wine64 googletest \
        bindfs fdisk webkit2gtk-driver gir1.2-webkit2-4.1 python3-gi xvfb xauth g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user-static binfmt-support emscripten chromium firefox-esr)
    # Node and npm from Debian where the machine has none of its own.
    command -v node > /dev/null || packages+=(nodejs)
    command -v npm > /dev/null || packages+=(npm)
    missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q
        apt-get install -y -q --no-install-recommends "${missing[@]}"
    else
        echo "all present"
    fi
}

# Programs the tests start run under qemu through binfmt_misc.
enable_arm_emulators() {
    [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    update-binfmts --enable qemu-arm > /dev/null
    update-binfmts --enable qemu-aarch64 > /dev/null
}
