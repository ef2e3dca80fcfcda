#!/usr/bin/env bash
# The main jobs on built-in examples, on Linux:
# 1. setup starts an example kit's installer in the user's language: it stages the language's setup
#    files and starts the (recording) installer, which shows what it received.
# 2. The publisher makes a key pair and ships the public key with the installation (QVTRUST.TXT);
#    qvpatch builds and signs a patch between two versions of an example installation; a patch
#    signed by another key is refused; qvapply applies the publisher's with the patch library, its
#    progress window drawn on this terminal. Press Ctrl-C while it runs to cancel, as the Cancel
#    button would: the installation is then left as it was.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/quorvane" "$work/patches"

echo "== setup: an example kit with German and English setup files"
kit="$work/kit"
mkdir -p "$kit/DE" "$kit/US" "$work/cwd/QVSETUP.TMP"
cp build/linux/bin/setup "$kit/setup"
cp build/linux/bin/test_installer "$work/cwd/QVSETUP.TMP/ISETUP.EXE"
for lang in DE US; do
  for f in _SETUP.DLL _SETUP.LIB QVSETRES.DLL SCN.TXT; do echo "$f ($lang)" >"$kit/$lang/$f"; done
done
echo "help" >"$kit/QVGSW.HLP"
printf '[Stub]\r\nDefaultLang=US\r\n' >"$kit/SETUP.INI"
echo "(cd $work/cwd && $kit/setup /l-de /silent)"
(cd "$work/cwd" && QVTEST_INSTALLER_RECORD="$work/installer.txt" "$kit/setup" /l-de /silent) || true
for _ in $(seq 50); do [ -e "$work/installer.txt" ] && break; sleep 0.1; done
echo "staged: $(ls "$work/cwd/QVSETUP.TMP" | tr '\n' ' ')"
echo "_SETUP.DLL says: $(cat "$work/cwd/QVSETUP.TMP/_SETUP.DLL")"
echo "the installer reports:"
sed 's/^/    /' "$work/installer.txt"
echo
echo "== qvpatch and qvapply: an example update"
# Two versions of an example installation: a program that changes in places, a changed and a
# removed text file, and an added directory.
mkdir -p "$work/v1/bin" "$work/v1/share" "$work/v2/bin" "$work/v2/share/added"
head -c 24000000 /dev/urandom >"$work/v1/bin/quorvane"
cp "$work/v1/bin/quorvane" "$work/v2/bin/quorvane"
printf 'version 1.1' | dd of="$work/v2/bin/quorvane" bs=1 seek=5000000 conv=notrunc 2>/dev/null
head -c 200000 /dev/urandom | dd of="$work/v2/bin/quorvane" bs=1 seek=12000000 conv=notrunc 2>/dev/null
echo "Quorvane 1.0" >"$work/v1/share/readme.txt"
echo "Quorvane 1.1" >"$work/v2/share/readme.txt"
echo "retired" >"$work/v1/share/old.txt"
echo "new in 1.1" >"$work/v2/share/added/notes.txt"
echo
echo "the publisher's key pair; its public half goes into every installation as QVTRUST.TXT:"
mkdir -p "$work/keys"
build/linux/bin/qvpatch keygen "$work/keys/publisher.key" >"$work/keys/publisher.pub"
{ echo "# Keys whose patches this installation takes"; cat "$work/keys/publisher.pub"; } >"$work/v1/QVTRUST.TXT"
cp "$work/v1/QVTRUST.TXT" "$work/v2/QVTRUST.TXT"
cat "$work/v1/QVTRUST.TXT"
cp -a "$work/v1/." "$work/quorvane/"
build/linux/bin/qvpatch build "$work/v1" "$work/v2" "$work/patches/UPDATE.PAT" --level 19 --sign "$work/keys/publisher.key"
build/linux/bin/qvpatch info "$work/patches/UPDATE.PAT" | head -n 2
echo
echo "a patch of the same update signed by a stranger's key is refused, and changes nothing:"
build/linux/bin/qvpatch keygen "$work/keys/stranger.key" >/dev/null 2>&1
build/linux/bin/qvpatch build "$work/v1" "$work/v2" "$work/patches/STRANGER.PAT" --level 3 --sign "$work/keys/stranger.key" >/dev/null
set +e
build/linux/bin/qvpatch apply "$work/quorvane" "$work/patches/STRANGER.PAT"
echo "exit code: $? (patch not trusted)"
set -e
diff -r "$work/quorvane" "$work/v1" >/dev/null && echo "the installation is still version 1"
echo
echo "qvapply $work/quorvane $work/patches/UPDATE.PAT   (Ctrl-C cancels and rolls back)"
set +e
build/linux/bin/qvapply "$work/quorvane" "$work/patches/UPDATE.PAT"
code=$?
set -e
echo
echo "exit code: $code ($([ $code -eq 1 ] && echo "update completed" || echo "update failed or cancelled"))"
echo "log $work/patches/qvsp.log: \"$(cat "$work/patches/qvsp.log")\""
if diff -r "$work/quorvane" "$work/v2" >/dev/null; then
  echo "the installation is now byte for byte version 2"
else
  echo "the installation is as it was (version 1)"
fi
