#!/bin/bash
# Checks the archives that release.sh made in dist/. The Windows zip holds
# exactly addsound.exe, README.txt and LICENSE.txt, the texts with Windows
# line ends; the exe is a PE32 console program for Intel 80386 needing only
# Windows' own DLLs, carries its version resource, and adds a name to the
# sample list under Wine in a fresh folder. The Linux tar.gz holds bin/addsound
# and share/doc/addsound/ as cmake --install lays them out, and its program
# adds a name natively. Needs unzip, file, objdump, i686-w64-mingw32-windres,
# wine (with wine32) and jq.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(addsound VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=dist/addsound-$version-win32.zip
tgz=dist/addsound-$version-Linux-$(uname -m).tar.gz
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAILED: $*"; exit 1; }
# Tells whether every line of a file ends with CR LF.
crlf() { ! grep -q $'[^\r]$\\|^$' "$1"; }

# Runs the program given as arguments in a fresh folder with the sample list,
# adds the name bell, and checks the answer and the list it leaves: the same
# JSON as before with the entry "bell": {"sounds": ["bell"]} first.
addsbell() {
    local folder
    folder=$(mktemp -d "$scratch/run.XXXX")
    cp sample/sounds.json "$folder"
    local said
    said=$(cd "$folder" && echo bell | "$@")
    grep -q 'All done! bell is now added into sounds.json' <<<"$said" \
        || fail "$* answered: $said"
    [ "$(jq -r 'keys_unsorted[0]' "$folder/sounds.json")" = bell ] \
        || fail "$* did not put bell first"
    jq -e '.bell == {"sounds": ["bell"]}' "$folder/sounds.json" >/dev/null \
        || fail "$* wrote a wrong entry for bell"
    [ "$(jq -S 'del(.bell)' "$folder/sounds.json")" = "$(jq -S . sample/sounds.json)" ] \
        || fail "$* changed the other entries"
    last=$folder/sounds.json
}

echo "== $zip"
[ -f "$zip" ] || fail "no $zip"
[ "$(unzip -Z1 "$zip" | LC_ALL=C sort | tr '\n' ' ')" = "LICENSE.txt README.txt addsound.exe " ] \
    || fail "the zip holds: $(unzip -Z1 "$zip" | tr '\n' ' ')"
unzip -q "$zip" -d "$scratch/win"
exe=$scratch/win/addsound.exe
for text in README.txt LICENSE.txt; do
    crlf "$scratch/win/$text" || fail "$text has lines not ended by CR LF"
done
sh tests/imports.sh "$exe" || fail "addsound.exe is not a plain Windows console program"
resource=$(i686-w64-mingw32-windres -J coff -O rc -i "$exe") || fail "addsound.exe has no resources"
for value in '"ProductName", "addsound"' "\"ProductVersion\", \"$version\"" \
             "\"FileVersion\", \"$version\"" '"FileDescription", "' '"LegalCopyright", "'; do
    grep -qF "VALUE $value" <<<"$resource" || fail "the version resource lacks $value"
done
echo "ok: three files; $(file -b "$exe" | cut -d, -f1); version $version"
# Wine runs 32-bit programs only where the kernel does (ia32 emulation).
command -v wine >/dev/null || fail "wine is not installed"
if wine --version >/dev/null 2>&1; then
    export WINEPREFIX=$scratch/wineprefix WINEARCH=win32 WINEDEBUG=-all
    wineboot --init >/dev/null 2>&1 || fail "wineboot could not make a Wine prefix"
    addsbell wine "$exe"
    crlf "$last" || fail "addsound.exe wrote lines not ended by CR LF"
    echo "ok: addsound.exe adds a name under Wine"
else
    echo "SKIPPED: Wine cannot start here ($(wine --version 2>&1 | tail -1));" \
         "this kernel runs no 32-bit programs, so addsound.exe was not run"
fi

echo "== $tgz"
[ -f "$tgz" ] || fail "no $tgz"
tar -xzf "$tgz" -C "$scratch"
unpacked=$scratch/addsound-$version-Linux-$(uname -m)
cmake --install build-release --prefix "$scratch/installed" >/dev/null
[ "$(cd "$unpacked" && find . | sort)" = "$(cd "$scratch/installed" && find . | sort)" ] \
    || fail "the tar.gz and cmake --install differ"
[ "$(cd "$unpacked" && find . -type f | sort | tr '\n' ' ')" \
  = "./bin/addsound ./share/doc/addsound/LICENSE ./share/doc/addsound/README.md " ] \
    || fail "the tar.gz holds: $(cd "$unpacked" && find . -type f | tr '\n' ' ')"
addsbell "$unpacked/bin/addsound"
echo "ok: bin/addsound and its documents, as installed, adds a name"
