#!/usr/bin/env bash
# desktop_test.sh SOURCE_DIR BUILD_DIR APP_ID
# The desktop integration as the validators and a file manager see it: the
# desktop entry passes desktop-file-validate, the AppStream metainfo passes
# appstreamcli validate (also with the web addresses set), and the MIME types
# are registered by update-mime-database and given by GIO, the library file
# managers ask, to images made by the peer tools.
set -euo pipefail
source_dir=$(realpath "$1")
build_dir=$(realpath "$2")
app_id=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-desktop-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

desktop=$source_dir/src/ui/resources/korvane.desktop
mime=$source_dir/data/desktop/korvane.xml

# desktop-file-validate prints hints without failing; a clean entry has none.
report=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $report"
[[ -z $report ]] || fail "desktop-file-validate: $report"

for metainfo in "$build_dir/data/$app_id.metainfo.xml" "$build_dir/data/with-web/$app_id.metainfo.xml"; do
    report=$(appstreamcli validate --no-net --strict "$metainfo" 2>&1) ||
        fail "appstreamcli validate $metainfo: $report"
done

# Every type the MIME file defines, and the ones shared-mime-info has for
# what Korvane opens, are in the desktop entry and the metainfo.
mapfile -t types < <(sed -n 's/.*<mime-type type="\([^"]*\)".*/\1/p' "$mime")
[[ ${#types[@]} -ge 6 ]] || fail "the MIME file defines ${#types[@]} types"
listed=$(sed -n 's/^MimeType=//p' "$desktop" | tr ';' '\n')
for t in "${types[@]}" application/vnd.squashfs application/x-raw-disk-image; do
    grep -qxF "$t" <<<"$listed" || fail "korvane.desktop does not list $t"
done
for t in "${types[@]}"; do
    grep -qF "<mediatype>$t</mediatype>" "$build_dir/data/$app_id.metainfo.xml" ||
        fail "the metainfo does not provide $t"
done

# The types as a file manager sees them once the package is installed.
mkdir -p "$work/share/mime/packages"
cp "$mime" "$work/share/mime/packages/"
export XDG_DATA_HOME=$work/share XDG_DATA_DIRS=/usr/share
report=$(update-mime-database "$work/share/mime" 2>&1) || fail "update-mime-database: $report"
[[ -z $report ]] || fail "update-mime-database: $report"
type_of() { gio info -a standard::content-type "$1" | sed -n 's/.*standard::content-type: //p'; }
expect_type() {
    local got
    got=$(type_of "$1")
    [[ $got == "$2" ]] || fail "${1##*/} is $got, not $2"
}

cd "$work"
mkdir tree
echo "127.0.0.1 localhost" >tree/hosts
for kind in ext2 ext3 ext4; do
    mke2fs -q -t $kind -d tree $kind.bin 4M >/dev/null 2>&1
    expect_type $kind.bin application/x-$kind-image
done
# Android's images are named *.img, which GIO takes for a raw disk image
# without looking inside; the desktop entry lists that type too.
cp ext4.bin system.img
expect_type system.img application/x-raw-disk-image
img2simg ext4.bin sparse.bin
expect_type sparse.bin application/x-android-sparse-image
if command -v mkfs.erofs >/dev/null; then
    mkfs.erofs -q erofs.bin tree >/dev/null 2>&1 || mkfs.erofs erofs.bin tree >/dev/null
    expect_type erofs.bin application/x-erofs-image
else
    echo "mkfs.erofs (erofs-utils) is missing: EROFS is not checked" >&2
fi
if command -v mksquashfs >/dev/null; then
    mksquashfs tree squashfs.bin -quiet -noappend >/dev/null
    expect_type squashfs.bin application/vnd.squashfs
else
    echo "mksquashfs (squashfs-tools) is missing: SquashFS is not checked" >&2
fi
# GIO reads the first 4096 bytes only, so it knows a super image by its
# name; the signature right after them is for readers that look further.
head -c 8192 /dev/zero >super.img
expect_type super.img application/x-android-super-image
# YAFFS2 has no signature: its name says what it is.
head -c 2112 /dev/zero | tr '\0' '\377' >nand.yaffs2
expect_type nand.yaffs2 application/x-yaffs2-image

[[ $failures -eq 0 ]] || exit 1
echo "desktop: every check passed"
