#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a private root and checks it as
# an administrator would use it: the program in /opt/xelo, started through a
# link, prints its version and makes an ISO from the sample repository; the
# manual page renders, the completion completes, and lintian finds no error.
#
#   package_test.sh BUILD_DIR SOURCE_DIR BOOT_ZIP
set -euo pipefail
build="$1" src="$2" boot_zip="$3"
fail() { echo "package_test: $*" >&2; exit 1; }

cmake --build "$build" --target package >/dev/null
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
deb="$build/xelo_${version}_amd64.deb"
[[ -f "$deb" ]] || fail "no package $deb"

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
root="$tmp/root"
dpkg-deb -x "$deb" "$root"

for f in opt/xelo/xelo opt/xelo/xelowin opt/xelo/libacquire.so opt/xelo/SYSTEM_SUPPORT_LIST_9.64.xml \
  opt/xelo/qyxBase.properties opt/xelo/wsTrace.properties opt/xelo/qyxConnect.properties opt/xelo/licenses/en \
  opt/xelo/keyring opt/xelo/linuxboot opt/xelo/linuxbootkyt opt/xelo/gui/launchpad opt/xelo/gui/www/index.html \
  opt/xelo/gui/www/app.js opt/xelo/gui/www/app.css usr/share/man/man1/xelo.1.gz \
  usr/share/bash-completion/completions/xelo usr/share/doc/xelo/copyright usr/share/doc/xelo/changelog.gz; do
  [[ -e "$root/$f" ]] || fail "$f missing from the package"
done
[[ -z "$(ls -A "$root/opt/xelo/keyring")" ]] || fail "the package's keyring is not empty"
[[ "$(readlink "$root/usr/bin/xelo")" == /opt/xelo/xelo ]] || fail "usr/bin/xelo is not a link to /opt/xelo/xelo"
[[ "$(readlink "$root/usr/bin/xelowin")" == /opt/xelo/xelowin ]] || fail "usr/bin/xelowin is not a link"
depends="$(dpkg-deb -f "$deb" Depends)"
for d in libc6 libstdc++6 libisofs6 libburn4 libarchive13 libcurl4 libpugixml1v5 mtools dosfstools; do
  [[ "$depends" == *"$d"* ]] || fail "Depends lacks $d: $depends"
done

# Started through a link outside its directory, as /usr/bin/xelo starts it:
# the program must find its data in /opt/xelo all the same.
mkdir -p "$tmp/bin"
ln -s "$root/opt/xelo/xelo" "$tmp/bin/xelo"
"$tmp/bin/xelo" --version | grep -qx "QOR Tolvane Xelo Version $version" || fail "--version"
ln -s "$root/opt/xelo/xelowin" "$tmp/bin/xelowin"
SYSTEMDRIVE="$tmp/drive" "$tmp/bin/xelowin" --version </dev/null | grep -qx "QOR Tolvane Xelo Version $version" ||
  fail "xelowin --version"

# The front end starts from the package (its libraries one folder up) and
# prints the address of its page.
SYSTEMDRIVE="$tmp/drive" "$root/opt/xelo/gui/launchpad" --no-browser >"$tmp/launchpad.txt" 2>&1 &
launchpad=$!
for _ in $(seq 100); do grep -q 'token=' "$tmp/launchpad.txt" && break; sleep 0.1; done
kill "$launchpad"
wait "$launchpad" || true
grep -Eq '^Xelo launchpad: open http://127\.0\.0\.1:[0-9]+/\?token=[0-9a-f]{64}$' "$tmp/launchpad.txt" ||
  fail "launchpad did not start: $(cat "$tmp/launchpad.txt")"

# The sample repository of the quick start, trusted through its demo key.
bash "$src/tools/sample/make-sample-repo.sh" --out "$tmp/repo" --boot-zip "$boot_zip" \
  --publisher "$build/tools/xelo-repo/xelo-repo" >/dev/null
cp "$src/data/keyring/sample-repository-demo.pem" "$root/opt/xelo/keyring/"
printf '_QOR.SP_LOCATION_URL = file://%s/\n_QOR.SP_UPDATE_INIT = NO\n' "$tmp/repo" >"$root/opt/xelo/qyxConnect.properties"
mkdir -p "$tmp/drive" "$tmp/work"
status=0
SYSTEMDRIVE="$tmp/drive" "$tmp/bin/xelo" --local="$tmp/work" -m 7101 --function=novpi --iso=sample.iso \
  </dev/null >"$tmp/run.txt" 2>&1 || status=$?
[[ $status -eq 0 && -s "$tmp/work/sample.iso" ]] || { cat "$tmp/run.txt" >&2; fail "ISO build ended with $status"; }

# The manual page lists the options without a groff warning.
warnings="$(zcat "$root/usr/share/man/man1/xelo.1.gz" | groff -man -Tutf8 -ww -z 2>&1)"
[[ -z "$warnings" ]] || fail "groff: $warnings"
zcat "$root/usr/share/man/man1/xelo.1.gz" | grep -qF -- '\-\-machine\-type' || fail "the manual page lacks --machine-type"

# The completion offers options and their values (bash-completion's helper
# replaced by a minimal one).
complete_words() {
  bash -c '_init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; split=false; }
    source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _xelo 2>/dev/null
    printf "%s\n" "${COMPREPLY[@]}"' _ "$root/usr/share/bash-completion/completions/xelo" "$@"
}
[[ "$(complete_words xelo --machine)" == "--machine-type=" ]] || fail "completion of --machine"
[[ "$(complete_words xelo --arch x6)" == "x64" ]] || fail "completion of --arch"

command -v lintian >/dev/null || fail "lintian is not installed (tools/install-deps.sh installs it)"
lintian --suppress-tags dir-or-file-in-opt "$deb" >"$tmp/lintian.txt" 2>&1 || true
if grep -q '^E:' "$tmp/lintian.txt"; then
  cat "$tmp/lintian.txt" >&2
  fail "lintian reports errors"
fi
echo "package_test: $deb passed"
