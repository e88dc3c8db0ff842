#!/usr/bin/env bash
# Writes the bundled sample update repository into a folder and publishes
# it: an update pack for machine type 7101 with two firmware updates, the
# update installer (NOVPI) and the boot environment built by
# tools/bootenv/build-bootenv.sh. The catalog is signed with the demo key
# beside this script (demo-signing-key.key), whose public half is the key
# the program's shipped keyring trusts.
#
#   make-sample-repo.sh --out DIR --boot-zip ZIP --publisher XELO_REPO
set -euo pipefail

out="" boot_zip="" publisher=""
while (($#)); do
  case "$1" in
    --out) out="$2"; shift 2 ;;
    --boot-zip) boot_zip="$2"; shift 2 ;;
    --publisher) publisher="$2"; shift 2 ;;
    *) echo "make-sample-repo: unknown argument $1" >&2; exit 2 ;;
  esac
done
[[ -n "$out" && -f "$boot_zip" && -x "$publisher" ]] || {
  echo "usage: make-sample-repo.sh --out DIR --boot-zip ZIP --publisher XELO_REPO" >&2
  exit 2
}

family="Tolvane Rack R210"
mkdir -p "$out/packs" "$out/updates" "$out/tools"

scalar() { printf '<PROPERTY NAME="%s" TYPE="string">\n<VALUE>%s</VALUE>\n</PROPERTY>\n' "$1" "$2"; }
array() {
  local name="$1"; shift
  printf '<PROPERTY.ARRAY NAME="%s" TYPE="string">\n<VALUE.ARRAY>\n' "$name"
  for value in "$@"; do printf '<VALUE>%s</VALUE>\n' "$value"; done
  printf '</VALUE.ARRAY>\n</PROPERTY.ARRAY>\n'
}
head_lines() {
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<CIM CIMVERSION="2.0" DTDVERSION="2.0">\n'
  printf '<DECLARATION>\n<DECLGROUP>\n<VALUE.OBJECT>\n<INSTANCE CLASSNAME="QOR_SoftwareUpdate">\n'
}
tail_lines() { printf '</INSTANCE>\n</VALUE.OBJECT>\n</DECLGROUP>\n</DECLARATION>\n</CIM>\n'; }

# package FOLDER ID NAME PAYLOAD [machine type...] : a descriptor with its
# readme and change history; the payload must be in place already.
package() {
  local folder="$1" id="$2" name="$3" payload="$4"; shift 4
  local dir="$out/$folder"
  printf 'Readme of %s\n%s\n' "$id" "$name" >"$dir/$id.txt"
  printf 'Change history of %s\n1.00: first release\n' "$id" >"$dir/$id.chg"
  {
    head_lines
    scalar identificationCode "$id"
    scalar description "$name"
    scalar version 1.00
    scalar xmlFilename "$id.xml"
    scalar readme "$id.txt"
    scalar payload "$payload"
    scalar revisionHistoryFile "$id.chg"
    if (($#)); then
      local types=()
      for mt in "$@"; do types+=("$family-[$mt]"); done
      array applicableMachineTypes "${types[@]}"
    fi
    array applicableOperatingSystems NONE "SLES 11 x64"
    tail_lines
  } >"$dir/$id.xml"
}

# Firmware updates: small files standing for firmware images.
for fw in bmc_1.40 uefi_2.10; do
  id="qor_fw_${fw}_anyos_noarch"
  printf 'sample firmware image %s\n' "$fw" >"$out/updates/$id.bin"
  package updates "$id" "Sample ${fw%%_*} firmware ${fw#*_}" "$id.bin" 7101
done

# The update installer the medium runs.
novpi=qor_utl_novpi_9.63_anyos_x86-64
printf '#!/bin/sh\necho "sample update installer 9.63"\n' >"$out/tools/$novpi.bin"
package tools "$novpi" "Update installer 9.63" "$novpi.bin"

# The boot environment.
boot=qor_utl_boot_tools-141_anyos_x86-64-mid
cp "$boot_zip" "$out/tools/$boot.zip"
package tools "$boot" "Bootable environment 141" "$boot.zip"

# The update pack of 7101.
pack=qor_utl_novp_7101-1.10_anyos_noarch
printf 'Readme of the update pack 1.10 for 7101\n' >"$out/packs/$pack.txt"
printf 'Change history of the update pack\n1.10: first release\n' >"$out/packs/$pack.chg"
{
  head_lines
  scalar category NOVP
  scalar identificationCode "$pack"
  scalar description "Update pack 1.10 for 7101"
  scalar version 1.10
  scalar xmlFilename "$pack.xml"
  scalar readmeFilename "$pack.txt"
  scalar changeHistoryFilename "$pack.chg"
  array applicableMachineTypes "$family-[7101]"
  array applicableOperatingSystems "SLES 11 x64"
  array updateIds qor_fw_bmc_1.40_anyos_noarch qor_fw_uefi_2.10_anyos_noarch
  tail_lines
} >"$out/packs/$pack.xml"

"$publisher" publish --quiet --sign "$(dirname "$0")/demo-signing-key.key" "$out"
