# shellcheck shell=bash
# The checks CI runs, one function each, in the order .ci/run calls them.
# Sourced by .ci/run, from the top of the clone.

# Where check_install_layout installed, which check_debian_package reads
# again; and whether a wine server was started. Both are cleaned up at exit.
install_prefix=
wine_started=

clean_up() {
    [ -z "$install_prefix" ] || rm -rf "$install_prefix"
    [ -z "$wine_started" ] || wineserver -k 2> /dev/null || true
}

check_formatting() {
    git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
}

check_static_analysis() {
    # Each platform's files with that platform's configuration; the generated
    # build_info.h is not needed for this.
    for platform in "-U_WIN32 cipher cli/posix" "-D_WIN32 cli/windows"; do
        # shellcheck disable=SC2086
        cppcheck --std=c++20 --enable=warning,style,performance,portability --inline-suppr \
            --suppress=missingIncludeSystem --error-exitcode=1 --quiet -I cipher -I cli \
            cli/*.cpp $platform
    done
}

check_quick_start() {
    # shellcheck disable=SC2016  # the backquotes are the README's own
    quick_start=$(sed -n '/^```sh$/,/^```$/p' README.md | sed '1d;$d')
    [ "$(sed -n 2p <<< "$quick_start")" = "cmake --workflow --preset test" ] ||
        { echo "the README's second command is not the test command run below"; return 1; }
    rm -rf build/release
    # The first builds the tool alone and round-trips the README through it.
    bash -ec "$(sed -n 1p <<< "$quick_start")"
    [ ! -e build/release/tests/cli_tests ] || { echo "the first command built the tests too"; return 1; }
    # Installing works after the first command alone: it built the man page too.
    first_prefix=$(mktemp -d)
    cmake --install build/release --prefix "$first_prefix" > /dev/null
    [ -f "$first_prefix/share/man/man1/zodevir.1.gz" ] || { echo "no man page installed after the first command"; return 1; }
    rm -rf "$first_prefix"
    # The second, the README's test command, builds and runs the test suite.
    cmake --workflow --preset test
}

# The POSIX code with every feature the build looks for missing compiles
# cleanly too: each has its alternative or its refusal.
check_without_features() {
    local headers
    headers=$(mktemp -d)
    sed 's/ 1$/ 0/' build/release/cli/generated/features_posix.h > "$headers/features_posix.h"
    cp build/release/cli/generated/build_info.h "$headers/"
    for f in cli/*.cpp cli/posix/*.cpp; do
        g++ -std=c++20 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion \
            -Wmissing-declarations -Werror -fsyntax-only -I "$headers" -I cli -I cipher "$f"
    done
    rm -rf "$headers"
}

check_as_ordinary_user() {
    # Built where that user can reach it, whatever folder this clone is in.
    user_build=$(mktemp -d /tmp/zodevir-user-build.XXXXXX)
    chmod 755 "$user_build"
    cmake -S . -B "$user_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZODEVIR_BUILD_BENCH=OFF \
        -DZODEVIR_WERROR=ON > /dev/null
    cmake --build "$user_build" > /dev/null
    chown -R 65534:65534 "$user_build"
    (cd "$user_build" && setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$user_build" \
        ctest --output-on-failure --no-tests=error)
    sh tests/skipped_tests.sh "$user_build"
    rm -rf "$user_build"
}

check_hardening() {
    report=$(hardening-check build/release/zodevir || true)
    echo "$report"
    # Control flow protection is compiled in, but Debian 12's crt1.o carries no
    # IBT property, so the linker cannot mark the binary; the rest must hold.
    for check in "Stack protected" "Fortify Source functions" "Read-only relocations" "Immediate binding"; do
        grep -q "$check: yes" <<< "$report" || { echo "not hardened: $check"; return 1; }
    done
}

check_with_clang() {
    cmake --workflow --preset clang
}

check_with_sanitizers() {
    cmake --workflow --preset sanitize
}

check_install_layout() {
    install_prefix=$(mktemp -d)
    cmake --install build/release --prefix "$install_prefix"
    for f in bin/zodevir share/man/man1/zodevir.1.gz share/doc/zodevir/README.md \
        share/doc/zodevir/changelog.gz share/doc/zodevir/copyright; do
        [ -f "$install_prefix/$f" ] || { echo "not installed: $f"; return 1; }
    done
}

check_debian_package() {
    (cd build/release && rm -f ./*.deb && cpack -G DEB)
    deb=$(ls build/release/zodevir_*.deb)
    dpkg-deb --field "$deb" Package Version Maintainer Homepage
    contents=$(dpkg-deb --contents "$deb")
    for f in ./usr/bin/zodevir ./usr/share/man/man1/zodevir.1.gz ./usr/share/doc/zodevir/copyright; do
        grep -q " $f\$" <<< "$contents" || { echo "not in the package: $f"; return 1; }
    done
    # Any lintian error or warning fails the build, and so does any of its
    # information tags (hardening, unneeded sections).
    lintian -I --fail-on error,warning,info "$deb"
    # Packaging installs into its own staging folder under its own manifest,
    # so the one that says what cmake --install put in place still does.
    grep -qx "$install_prefix/bin/zodevir" build/release/install_manifest.txt ||
        { echo "cpack overwrote install_manifest.txt"; return 1; }
}

check_web() {
    # npm ci from the committed lock file, the cipher compiled to WebAssembly,
    # the package and the page built, then their tests; before the static and
    # Windows packages, which carry the page.
    web_start=$SECONDS
    cmake --workflow --preset web
    ls build/web/zodevir-*.tgz build/web/zodevir.html
    echo "the web part took $((SECONDS - web_start)) s"
}

check_static() {
    cmake --workflow --preset static
    readelf -d build/static/zodevir | grep -q 'There is no dynamic section' ||
        { echo "the static build has a dynamic section"; return 1; }
    .ci/identity.sh build/release/zodevir build/static/zodevir > /dev/null
    (cd build/static && rm -f ./*.tar.gz && cpack -G TGZ > /dev/null)
    tarball=$(ls build/static/zodevir-*-linux-x86_64.tar.gz)
    tar_contents=$(tar tzf "$tarball")
    for f in zodevir zodevir.1 README.md LICENSE zodevir.html; do
        grep -q "/$f\$" <<< "$tar_contents" || { echo "not in $tarball: $f"; return 1; }
    done
    echo "$tarball"
}

check_arm() {
    for arch in armhf:arm-linux-gnueabihf:qemu-arm-static aarch64:aarch64-linux-gnu:qemu-aarch64-static; do
        IFS=: read -r preset triple qemu <<< "$arch"
        cmake --workflow --preset "$preset"
        .ci/identity.sh build/release/zodevir "build/$preset/zodevir" "$qemu" -L "/usr/$triple" > /dev/null
    done
    # A sparse source past 4 GiB on 32-bit ARM: offsets are 64-bit there too.
    sparse=$(mktemp)
    truncate -s $((4 * 1024 * 1024 * 1024 + 1)) "$sparse"
    length=$(qemu-arm-static -L /usr/arm-linux-gnueabihf build/armhf/zodevir "$sparse" /dev/stdout pw encode 2> /dev/null | wc -c)
    rm -f "$sparse"
    [ "$length" = $((4 * 1024 * 1024 * 1024 + 1)) ] || { echo "armhf: $length bytes of a 4 GiB + 1 source"; return 1; }
}

check_windows() {
    export WINEDEBUG=-all
    # No Mono or Gecko: nothing here needs .NET or a browser engine.
    export WINEDLLOVERRIDES="mscoree=;mshtml="
    # A wine server that stays up, started with its helper processes away from
    # any pipe: otherwise the first test to start wine hands them the test
    # runner's output pipe, and the runner waits for them to go.
    wineserver -p < /dev/null > /dev/null 2>&1 &
    wine wineboot --init < /dev/null > /dev/null 2>&1
    wine_started=1
    windows_start=$SECONDS
    cmake --workflow --preset windows
    .ci/identity.sh build/release/zodevir build/windows/zodevir.exe wine
    (cd build/windows && rm -f ./*.zip && cpack -G ZIP)
    zip_contents=$(cmake -E tar tf build/windows/zodevir-*-win64.zip)
    for f in zodevir.exe README.md zodevir.html; do
        grep -qx "$f" <<< "$zip_contents" || { echo "not in the zip: $f"; return 1; }
    done
    echo "the Windows part took $((SECONDS - windows_start)) s"
}
