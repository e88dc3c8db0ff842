#!/usr/bin/env bash
# The quick start: builds xelo and the sample boot environment, publishes the
# bundled sample repository as a plain folder (its catalog signed with the
# demo key the program's keyring trusts), and runs xelo from a private
# copy of its program directory to make a bootable ISO for machine type 7101
# with the update tool. Everything stays under build/demo/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/tools/build.sh"

demo="$root/build/demo"
echo "== Building the sample boot environment (cached after the first run)"
boot_zip="$(bash "$root/tools/bootenv/build-bootenv.sh" --out "$root/build/bootenv" | tail -n 1)"

echo "== Publishing the sample repository"
rm -rf "$demo"
mkdir -p "$demo/drive" "$demo/work"
cp -r "$root/build/xelo" "$demo/program"
bash "$root/tools/sample/make-sample-repo.sh" --out "$demo/repo" --boot-zip "$boot_zip" \
  --publisher "$root/build/tools/xelo-repo/xelo-repo"
printf '_QOR.SP_LOCATION_URL = file://%s/\n_QOR.SP_UPDATE_INIT = NO\n' "$demo/repo" \
  >"$demo/program/qyxConnect.properties"

"$root/build/tools/xelo-repo/xelo-repo" verify --quiet --key "$demo/program/keyring/sample-repository-demo.pem" \
  "$demo/repo"

iso="$demo/work/sample.iso"
echo "Logs and result records go to $demo/drive/QOR_Support"
echo "Once the ISO is made, boot it in QEMU (UEFI, serial console; the environment powers off by itself):"
echo "  cp /usr/share/OVMF/OVMF_VARS_4M.fd /tmp/xelo-vars.fd && qemu-system-x86_64 -machine q35 -cpu max -m 512 -nographic -no-reboot -drive if=pflash,format=raw,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd -drive if=pflash,format=raw,file=/tmp/xelo-vars.fd -cdrom $iso"
echo "With Secure Boot on: -machine q35,smm=on, OVMF_CODE_4M.secboot.fd and a copy of OVMF_VARS_4M.ms.fd instead."
echo "Under BIOS: qemu-system-x86_64 -m 512 -nographic -no-reboot -cdrom $iso"

# xelo's own summary (where the medium went, its size, what was downloaded,
# the log file) is the last thing the demo prints.
echo "== Running xelo"
SYSTEMDRIVE="$demo/drive" "$demo/program/xelo" --local="$demo/work" -m 7101 --function=novpi \
  --iso=sample.iso </dev/null
