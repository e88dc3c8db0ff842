#!/usr/bin/env bash
# Builds the bootable environment zips (basic, mid and full variants) from
# Debian packages: the distribution's signed kernel, busybox-static and the
# signed UEFI boot chain (shim-signed, grub-efi-amd64-signed) are downloaded
# and unpacked here (nothing is installed into the host's kernel or /boot),
# and the BIOS loaders (CD boot image, hybrid MBR boot code, network image)
# are made with grub-mkimage.
#
#   build-bootenv.sh --out DIR [--variant basic|mid|full] [--cache DIR] [--rebuild]
#
# The three zips are built once per set of inputs (the files of this
# directory and the package versions) into CACHE/<hash>/ and copied to DIR.
# Progress goes to standard error; the last line on standard output is the
# path of the zip of the chosen variant (default: mid) in DIR.
# CACHE defaults to $XELO_BOOTENV_CACHE, else <repository>/build/bootenv-cache.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"

readonly ENV_VERSION=141
readonly ZIP_PREFIX="qor_utl_boot_tools-${ENV_VERSION}_anyos_x86-64"
readonly MAX_ZIP_BYTES=$((100 * 1024 * 1024))
readonly BIOS_MODULES_DIR=/usr/lib/grub/i386-pc

# GRUB modules built into the BIOS images: reading the medium (disk or CD,
# MBR or GPT, ISO 9660 or FAT) or the TFTP server, and what the shared
# menu (grub.cfg) and the embedded configurations use.
readonly BIOS_MENU_MODULES=(normal configfile linux echo test sleep search search_fs_file)
readonly BIOS_DISK_MODULES=(biosdisk part_msdos part_gpt iso9660 fat)
readonly BIOS_NET_MODULES=(pxe tftp net)

# Drivers the initrd loads to reach the medium: optical drives, disks, USB
# keys, and the network cards for network boot. Dependencies are added.
readonly MODULES=(
  sr_mod cdrom isofs sd_mod ahci ata_piix ata_generic
  virtio_pci virtio_blk virtio_scsi nvme
  xhci_pci ehci_pci ohci_pci uhci_hcd usb_storage uas
  vfat nls_cp437 nls_ascii nls_iso8859_1 nls_utf8
  e1000 e1000e igb ixgbe tg3 virtio_net
)

out=""
variant="mid"
cache="${XELO_BOOTENV_CACHE:-$root/build/bootenv-cache}"
rebuild=0

say() { echo "build-bootenv: $*" >&2; }
die() { say "error: $*"; exit 1; }

usage() {
  sed -n '2,15s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
  exit 2
}

while (($#)); do
  case "$1" in
    --out) out="${2:-}"; shift 2 ;;
    --out=*) out="${1#*=}"; shift ;;
    --variant) variant="${2:-}"; shift 2 ;;
    --variant=*) variant="${1#*=}"; shift ;;
    --cache) cache="${2:-}"; shift 2 ;;
    --cache=*) cache="${1#*=}"; shift ;;
    --rebuild) rebuild=1; shift ;;
    -h | --help) usage ;;
    *) say "unknown argument: $1"; usage ;;
  esac
done
[[ -n "$out" ]] || usage
# The build works in a directory of its own: a relative cache is taken from
# where the script was started.
mkdir -p "$cache" && cache="$(cd "$cache" && pwd)" || die "cannot create the cache $cache"

zip_name() {
  case "$1" in
    basic) echo "${ZIP_PREFIX}.zip" ;;
    mid) echo "${ZIP_PREFIX}-mid.zip" ;;
    full) echo "${ZIP_PREFIX}-full.zip" ;;
    *) return 1 ;;
  esac
}
zip_name "$variant" >/dev/null || die "unknown variant '$variant' (basic, mid or full)"

# ---- host tools -------------------------------------------------------------

as_root_install() {
  if [[ "$(id -u)" -ne 0 ]]; then
    die "missing $*; install them (tools/install-deps.sh) or run as root"
  fi
  say "installing $*"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq --no-install-recommends "$@" >&2
}

missing=()
command -v grub-mkimage >/dev/null && [[ -f "$BIOS_MODULES_DIR/boot_hybrid.img" ]] || missing+=(grub-pc-bin)
command -v cpio >/dev/null || missing+=(cpio)
command -v zip >/dev/null || missing+=(zip)
command -v gzip >/dev/null || missing+=(gzip)
((${#missing[@]} == 0)) || as_root_install "${missing[@]}"

# ---- inputs -------------------------------------------------------------------

kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
candidate() {
  apt-cache show --no-all-versions "$1" 2>/dev/null | awk '/^Version:/ { print $2; exit }'
}

kernel_pkg="$(kernel_package)"
if [[ -z "$kernel_pkg" || -z "$(candidate busybox-static)" ]]; then
  [[ "$(id -u)" -eq 0 ]] || die "the package lists name no kernel; run 'apt-get update' as root"
  say "updating the package lists"
  apt-get update -qq >&2
  kernel_pkg="$(kernel_package)"
fi
[[ -n "$kernel_pkg" ]] || die "no kernel package found for linux-image-amd64"
kernel_ver="$(candidate "$kernel_pkg")"
busybox_ver="$(candidate busybox-static)"
shim_ver="$(candidate shim-signed)"
shim_helpers_ver="$(candidate shim-helpers-amd64-signed)"
grub_signed_ver="$(candidate grub-efi-amd64-signed)"
grub_pc_ver="$(dpkg-query -W -f='${Version}' grub-pc-bin 2>/dev/null || echo unknown)"
[[ -n "$kernel_ver" && -n "$busybox_ver" && -n "$shim_ver" && -n "$shim_helpers_ver" && -n "$grub_signed_ver" ]] ||
  die "package versions could not be read"

inputs="$(
  for f in build-bootenv.sh init udhcpc.script grub.cfg grub-embedded.cfg grub-handover.cfg grub-pxe.cfg; do
    printf '%s ' "$f"
    sha256sum <"$here/$f"
  done
  echo "kernel $kernel_pkg $kernel_ver"
  echo "busybox-static $busybox_ver"
  echo "shim-signed $shim_ver"
  echo "shim-helpers-amd64-signed $shim_helpers_ver"
  echo "grub-efi-amd64-signed $grub_signed_ver"
  echo "grub-pc-bin $grub_pc_ver"
)"
key="$(printf '%s\n' "$inputs" | sha256sum | cut -c1-16)"
entry="$cache/$key"
variants=(basic mid full)

complete() {
  [[ -f "$entry/inputs.txt" ]] || return 1
  local v
  for v in "${variants[@]}"; do [[ -f "$entry/$(zip_name "$v")" ]] || return 1; done
}

# ---- build --------------------------------------------------------------------

# bios_image OUTPUT FORMAT CONFIG MODULE...: a BIOS GRUB image whose memory
# disk holds CONFIG as its start-up configuration.
bios_image() {
  local output="$1" format="$2" config="$3" memdisk
  shift 3
  memdisk="$(mktemp -d "$work/memdisk.XXXXXX")"
  mkdir -p "$memdisk/boot/grub"
  cp "$config" "$memdisk/boot/grub/grub.cfg"
  tar --format=ustar --owner=0 --group=0 -cf "$memdisk.tar" -C "$memdisk" boot
  grub-mkimage -O "$format" -d "$BIOS_MODULES_DIR" -m "$memdisk.tar" -p "(memdisk)/boot/grub" \
    -o "$output" memdisk tar "${BIOS_MENU_MODULES[@]}" "$@"
}

build() {
  mkdir -p "$cache"
  work="$(mktemp -d "$cache/.build.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
  cd "$work"

  say "[1/6] downloading $kernel_pkg $kernel_ver, busybox-static $busybox_ver, shim-signed $shim_ver" \
    "(with its helpers $shim_helpers_ver) and grub-efi-amd64-signed $grub_signed_ver"
  mkdir debs
  (cd debs && apt-get download -q "$kernel_pkg=$kernel_ver" "busybox-static=$busybox_ver" \
    "shim-signed=$shim_ver" "shim-helpers-amd64-signed=$shim_helpers_ver" \
    "grub-efi-amd64-signed=$grub_signed_ver") >&2
  dpkg-deb -x debs/"${kernel_pkg}"_*.deb kernel
  dpkg-deb -x debs/busybox-static_*.deb busybox
  dpkg-deb -x debs/shim-signed_*.deb signed
  dpkg-deb -x debs/shim-helpers-amd64-signed_*.deb signed
  dpkg-deb -x debs/grub-efi-amd64-signed_*.deb signed
  rm -rf debs
  local busybox="$work/busybox/bin/busybox"
  local kver
  kver="$(ls kernel/lib/modules)"
  [[ -n "$kver" && -f "kernel/boot/vmlinuz-$kver" ]] || die "no kernel image in $kernel_pkg"

  say "[2/6] resolving $((${#MODULES[@]})) drivers and their dependencies for $kver"
  local moddir="kernel/lib/modules/$kver"
  "$busybox" depmod -b kernel "$kver"
  declare -A path_of=() deps_of=() seen=()
  local line path name
  while IFS= read -r line; do
    path="${line%%:*}"
    name="$(basename "$path")"
    name="${name%%.ko*}"
    path_of["${name//-/_}"]="$path"
    deps_of["$path"]="${line#*:}"
  done <"$moddir/modules.dep"
  local order=()
  visit() {
    local p="$1" d
    [[ -z "${seen[$p]:-}" ]] || return 0
    seen["$p"]=1
    for d in ${deps_of[$p]:-}; do visit "$d"; done
    order+=("$p")
  }
  local m
  for m in "${MODULES[@]}"; do
    if [[ -n "${path_of[$m]:-}" ]]; then
      visit "${path_of[$m]}"
    elif ! grep -Eq "/${m//_/[-_]}\.ko$" "$moddir/modules.builtin"; then
      die "driver $m is neither a module nor built into $kver"
    fi
  done

  say "[3/6] packing the initrd (${#order[@]} modules)"
  mkdir -p initrd/bin initrd/etc initrd/lib/modules initrd/dev initrd/proc initrd/sys initrd/tmp initrd/run initrd/mnt/medium
  cp "$busybox" initrd/bin/busybox
  ln -s busybox initrd/bin/sh
  install -m 0755 "$here/init" initrd/init
  install -m 0755 "$here/udhcpc.script" initrd/etc/udhcpc.script
  : >initrd/lib/modules/load-order
  for path in "${order[@]}"; do
    mkdir -p "initrd/lib/modules/$(dirname "$path")"
    case "$path" in
      *.ko) cp "$moddir/$path" "initrd/lib/modules/$path" ;;
      *.ko.xz) "$busybox" xz -dc "$moddir/$path" >"initrd/lib/modules/${path%.xz}"; path="${path%.xz}" ;;
      *) die "cannot load the compressed module $path" ;;
    esac
    echo "$path" >>initrd/lib/modules/load-order
  done
  (cd initrd && find . -print0 | LC_ALL=C sort -z |
    cpio --null --create --format=newc --owner=0:0 --quiet) | gzip -9 -n >initrd.gz

  say "[4/6] making the UEFI and BIOS loaders"
  # UEFI: the signed chain as it comes. Firmware starts shim as BOOTX64.EFI;
  # shim starts grubx64.efi from its own directory (from the TFTP directory
  # on network boot), and GRUB starts the signed kernel through shim, so the
  # medium boots with Secure Boot on as well as off.
  local shim=signed/usr/lib/shim grub_signed=signed/usr/lib/grub/x86_64-efi-signed f
  for f in "$shim/shimx64.efi.signed" "$shim/mmx64.efi.signed" "$grub_signed/grubx64.efi.signed" \
    "$grub_signed/grubnetx64.efi.signed"; do
    [[ -f "$f" ]] || die "the signed boot chain lacks $f"
  done
  # The BIOS images carry their modules, so the medium needs no GRUB module
  # directory. Like the standalone UEFI image they hold a memory disk whose
  # boot/grub/grub.cfg the normal mode runs at start: the embedded search
  # for the CD/disk image, the menu beside the image for the network image.
  bios_image eltorito.img i386-pc-eltorito "$here/grub-embedded.cfg" "${BIOS_DISK_MODULES[@]}"
  bios_image core.0 i386-pc-pxe "$here/grub-pxe.cfg" "${BIOS_NET_MODULES[@]}"

  say "[5/6] assembling the boot tree"
  local tree="$work/tree"
  mkdir -p "$tree/linuxboot/EFI/BOOT" "$tree/linuxboot/grub/i386-pc" "$tree/linuxboot/menu" "$tree/linuxboot/novpi" \
    "$tree/linuxboot/kyt" "$tree/linuxboot/dndeploy" "$tree/linuxbootkyt/menu" "$tree/linuxbootkyt/kyt"
  mkdir -p "$tree/linuxboot/EFI/debian"
  cp "$shim/shimx64.efi.signed" "$tree/linuxboot/EFI/BOOT/BOOTX64.EFI"
  cp "$shim/mmx64.efi.signed" "$tree/linuxboot/EFI/BOOT/mmx64.efi"
  cp "$grub_signed/grubx64.efi.signed" "$tree/linuxboot/EFI/BOOT/grubx64.efi"
  cp "$grub_signed/grubnetx64.efi.signed" "$tree/linuxboot/EFI/BOOT/grubnetx64.efi"
  cp "$here/grub.cfg" "$tree/linuxboot/EFI/BOOT/grub.cfg"
  cp "$here/grub-handover.cfg" "$tree/linuxboot/EFI/debian/grub.cfg"
  cp "$here/grub-handover.cfg" "$tree/linuxboot/grub/grub.cfg"
  cp eltorito.img core.0 "$BIOS_MODULES_DIR/boot_hybrid.img" "$tree/linuxboot/grub/i386-pc/"
  cp "kernel/boot/vmlinuz-$kver" "$tree/linuxboot/vmlinuz"
  cp initrd.gz "$tree/linuxboot/initrd.gz"
  printf '%s\n' "novpi Update firmware and drivers" >"$tree/linuxboot/menu/menu.txt"
  printf '%s\n' "Update-pack installer of the medium; the media builder adds its files here." \
    >"$tree/linuxboot/novpi/README.txt"
  printf '%s\n' "Diagnostics; the media builder unpacks the diagnostics package here." \
    >"$tree/linuxboot/kyt/README.txt"
  printf '%s\n' "Deployment toolkit of the bare Linux toolkit environment." \
    >"$tree/linuxboot/dndeploy/README.txt"
  printf '%s\n' "kyt Run diagnostics" >"$tree/linuxbootkyt/menu/kyt.txt"
  printf '%s\n' "Diagnostics additions of the environment." >"$tree/linuxbootkyt/kyt/environment.txt"

  say "[6/6] writing the zips"
  local stage="$work/zips" v zipfile
  mkdir -p "$stage"
  for v in "${variants[@]}"; do
    zipfile="$(zip_name "$v")"
    printf 'name=%s\nvariant=%s\nversion=%s\nkernel=%s\n' "${zipfile%.zip}" "$v" "$ENV_VERSION" "$kver" \
      >"$tree/linuxboot/environment.txt"
    (cd "$tree" && zip -q -r -X -9 "$stage/$zipfile" linuxboot linuxbootkyt)
    local size
    size="$(stat -c %s "$stage/$zipfile")"
    ((size < MAX_ZIP_BYTES)) || die "$zipfile is $size bytes, over the 100 MiB limit"
    say "  $zipfile: $((size / 1024)) KiB"
  done
  printf '%s\n' "$inputs" >"$stage/inputs.txt"

  # Published whole or not at all: a build running beside this one may
  # have finished first, and then its result is kept.
  mv -T "$stage" "$entry" 2>/dev/null || say "kept the result of a build that finished first"
  cd "$root"
  rm -rf "$work"
  trap - EXIT
}

if ((rebuild)) && [[ -d "$entry" ]]; then
  say "rebuilding: removing $entry"
  rm -rf "$entry"
fi
if complete; then
  say "reusing the environment built earlier in $entry"
else
  started=$SECONDS
  build
  complete || die "the build left no complete result in $entry"
  say "built in $((SECONDS - started)) s: $entry"
  # Results of earlier inputs: the two most recent stay beside this one.
  kept=0
  while IFS= read -r old; do
    old="${old%/}"
    [[ "$old" == "$entry" ]] && continue
    kept=$((kept + 1))
    ((kept <= 2)) || rm -rf "$old"
  done < <(ls -1dt "$cache"/*/ 2>/dev/null)
fi

mkdir -p "$out"
out="$(cd "$out" && pwd)"
for v in "${variants[@]}"; do
  zipfile="$(zip_name "$v")"
  if [[ "$out" != "$entry" ]] && ! cmp -s "$entry/$zipfile" "$out/$zipfile"; then
    cp "$entry/$zipfile" "$out/$zipfile.tmp"
    mv -f "$out/$zipfile.tmp" "$out/$zipfile"
  fi
done
echo "$out/$(zip_name "$variant")"
