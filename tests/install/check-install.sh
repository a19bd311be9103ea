#!/usr/bin/env bash
# check-install.sh tree BUILD VERSION: installs BUILD into a scratch prefix and checks what a
# desktop, a distribution and a person find there: exactly the expected files, the desktop entry
# and the AppStream metadata as their validators read them, the icons' sizes, both man pages as
# man renders them, and quorbel-cli's man page and bash completion naming every command and
# option its usage names.
# check-install.sh programs QUORBEL QUORBEL_CLI VERSION: --help and --version of both
# programs, with no display to be had.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Runs "$@" where no display can be found; its output, and a failure when it does not exit 0.
without_display() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" || fail "$* exited $?"
}

if [ "$1" = programs ]; then
    quorbel=$2 cli=$3 version=$4
    [ "$(without_display "$quorbel" --version)" = "quorbel $version" ] || fail "quorbel --version"
    [ "$(without_display "$cli" --version)" = "quorbel-cli $version" ] ||
        fail "quorbel-cli --version"
    # --help goes to standard output, so it can be paged.
    without_display "$quorbel" --help 2>/dev/null | grep -q '^Usage: quorbel ' ||
        fail "quorbel --help"
    without_display "$cli" --help 2>/dev/null | grep -q '^Usage: quorbel-cli ' ||
        fail "quorbel-cli --help"
    exit 0
fi

build=$2 version=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
share=$prefix/share
id=org.quorbel.Quorbel

expected="bin/quorbel
bin/quorbel-cli
share/applications/$id.desktop
share/bash-completion/completions/quorbel-cli
share/doc/quorbel/changelog.gz
share/doc/quorbel/copyright
share/icons/hicolor/128x128/apps/$id.png
share/icons/hicolor/256x256/apps/$id.png
share/icons/hicolor/48x48/apps/$id.png
share/icons/hicolor/scalable/apps/$id.svg
share/man/man1/quorbel-cli.1.gz
share/man/man1/quorbel.1.gz
share/metainfo/$id.metainfo.xml"
installed=$(cd "$prefix" && find . -type f -printf '%P\n' | LC_ALL=C sort)
[ "$installed" = "$expected" ] ||
    fail "the installed files differ: $(diff <(echo "$expected") <(echo "$installed") || true)"

desktop-file-validate "$share/applications/$id.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$share/metainfo/$id.metainfo.xml" >/dev/null ||
    fail "appstreamcli validate: $(appstreamcli validate --no-net "$share/metainfo/$id.metainfo.xml")"
for size in 48 128 256; do
    # A PNG's width and height follow its signature and the header chunk's name.
    dimensions=$(od -An -j16 -N8 --endian=big -tu4 "$share/icons/hicolor/${size}x$size/apps/$id.png")
    [ "$(echo $dimensions)" = "$size $size" ] || fail "the ${size}px icon is $dimensions"
done

for page in quorbel quorbel-cli; do
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man $page: $warnings"
    MANWIDTH=80 man -E UTF-8 -l "$share/man/man1/$page.1.gz" 2>/dev/null | grep -q "Quorbel $version" ||
        fail "man $page does not render, or names another version"
done

usage=$(without_display "$prefix/bin/quorbel-cli" --help)
page=$(MANWIDTH=80 man -E UTF-8 -l "$share/man/man1/quorbel-cli.1.gz" 2>/dev/null)
completed=$(bash -c 'source "$1"; COMP_WORDS=(quorbel-cli ""); COMP_CWORD=1; _quorbel_cli
    echo " ${COMPREPLY[*]} "' - "$share/bash-completion/completions/quorbel-cli")
for command in $(sed -n 's/^  \([a-z]\+\) .*/\1/p' <<<"$usage"); do
    grep -qE "^ +$command( |$)" <<<"$page" || fail "quorbel-cli(1) has no entry for $command"
    [[ $completed == *" $command "* ]] || fail "bash completion does not offer $command"
done
for option in $(grep -o -- '--[a-z-]\+' <<<"$usage" | sort -u); do
    grep -qE -- "^ +(-[a-z], )?$option( |$)" <<<"$page" || fail "quorbel-cli(1) has no entry for $option"
    grep -q -- "$option" "$share/bash-completion/completions/quorbel-cli" ||
        fail "bash completion does not offer $option"
done
