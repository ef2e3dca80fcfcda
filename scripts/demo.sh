#!/usr/bin/env bash
# The main jobs on built-in examples, on Linux:
# 1. setup starts an example kit's installer in the user's language: it stages the language's setup
#    files and starts the (recording) installer, which shows what it received.
# 2. qvapply updates an example installation, with its progress window drawn on this terminal.
#    Press Ctrl-C while it runs to cancel, as the Cancel button would. Until the patch library
#    lands, the library is the scripted test library.
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
echo "== qvapply"

# What the library does: three files, each with its progress, asking after every step whether to
# go on.
{
  for file in QUORVANE.EXE QVCORE.DLL QVHELP.HLP; do
    echo "callback 7 text $file"
    for percent in 0 10 20 30 40 50 60 70 80 90 100; do
      echo "callback 5 value $((percent * 32768 / 100))"
      echo "query 2"
      echo "sleep 120"
    done
    echo "callback 8"
  done
  echo "return 0"
} >"$work/script.txt"

echo "qvapply $work/quorvane $work/patches/UPDATE.PAT"
set +e
QVTEST_SCRIPT="$work/script.txt" QVTEST_RECORD="$work/record.txt" \
  build/linux/bin/testlib/qvapply "$work/quorvane" "$work/patches/UPDATE.PAT"
code=$?
set -e
echo
echo "exit code: $code ($([ $code -eq 1 ] && echo "update completed" || echo "update failed or cancelled"))"
echo "log $work/patches/qvsp.log: \"$(cat "$work/patches/qvsp.log")\""
echo "the library received: \"$(sed -n 's/^cmdline //p' "$work/record.txt")\""
