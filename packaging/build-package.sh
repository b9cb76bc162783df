#!/bin/sh
# Builds the Windows Installer package: lays the files out as the installation has them,
# runs wixl on KstvCardReader.wxs there, then with msibuild marks the event source's
# message file path REG_EXPAND_SZ (wixl escapes the "#%" prefix that says so) and adds the
# removal of the debug log at uninstall (wixl has no RemoveFile element).
# Usage: build-package.sh VERSION OUTPUT.msi PROGRAM.exe MESSAGES.dll ICON-FOLDER
set -eu
version=$1 out=$2 program=$3 messages=$4 icons=$5
here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d); trap 'rm -rf "$stage"' EXIT
cp "$program" "$stage/KstvCardReader.exe"
cp "$messages" "$stage/KstvCardReaderMessages.dll"
for icon in SD/kicsd.ico SD/kicmmc.ico XD/kicxd.ico MS/kicms.ico; do
  mkdir -p "$stage/$(dirname "$icon")"
  cp "$icons/$icon" "$stage/$icon"
done
cp "$here/KstvCardReader.wxs" "$stage/"
(cd "$stage" && wixl -a x64 -D Version="$version" -o package.msi KstvCardReader.wxs)
msiinfo export "$stage/package.msi" Registry > "$stage/Registry.idt"
sed -i 's/\t##%\[#MessagesFile\]\t/\t#%[#MessagesFile]\t/' "$stage/Registry.idt"
grep -q '#%\[#MessagesFile\]' "$stage/Registry.idt" || { echo "no EventMessageFile row" >&2; exit 1; }
msibuild "$stage/package.msi" -i "$stage/Registry.idt"
msiinfo export "$stage/package.msi" RemoveFile > "$stage/RemoveFile.idt"
# FileKey, Component, FileName, DirProperty, InstallMode (2: at uninstall).
printf 'DebugLog\tProgram\tKstvCardReader.log\tINSTALLDIR\t2\r\n' >> "$stage/RemoveFile.idt"
msibuild "$stage/package.msi" -i "$stage/RemoveFile.idt"
mv "$stage/package.msi" "$out"
