#!/bin/sh
# Builds the Windows Installer package: lays the files out as the installation has them,
# runs wixl on KstvCardReader.wxs there, then with msibuild marks the event source's
# message file path REG_EXPAND_SZ (wixl escapes the "#%" prefix that says so), adds the
# removal of the debug log at uninstall (wixl has no RemoveFile element) and makes the
# rollback action one (wixl drops Execute="rollback" and would run it at once), gives the
# versioned files their version, the install folder its own access list, and lets a
# package of the same version replace the installed one.
# Usage: build-package.sh VERSION OUTPUT.msi PROGRAM.exe MESSAGES.dll ICON-FOLDER FILE-VERSION
#                         [--fail-late]
# FILE-VERSION is the version resource of the program and the message file (a.b.c.d):
# the File table says so, so that Windows Installer replaces them by their versions.
# --fail-late (for the tests) adds an action after -Service that fails, so that the
# installation is rolled back after the program has registered itself.
set -eu
version=$1 out=$2 program=$3 messages=$4 icons=$5 file_version=$6 variant=${7:-}
here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d); trap 'rm -rf "$stage"' EXIT
cp "$program" "$stage/KstvCardReader.exe"
cp "$messages" "$stage/KstvCardReaderMessages.dll"
for icon in SD/kicsd.ico SD/kicmmc.ico XD/kicxd.ico MS/kicms.ico KstvCardReader.ico; do
  mkdir -p "$stage/$(dirname "$icon")"
  cp "$icons/$icon" "$stage/$icon"
done
cp "$here/KstvCardReader.wxs" "$stage/"
(cd "$stage" && wixl -a x64 -D Version="$version" -o package.msi KstvCardReader.wxs)
msiinfo export "$stage/package.msi" Registry > "$stage/Registry.idt"
sed -i 's/\t##%\[#MessagesFile\]\t/\t#%[#MessagesFile]\t/' "$stage/Registry.idt"
grep -q '#%\[#MessagesFile\]' "$stage/Registry.idt" || { echo "no EventMessageFile row" >&2; exit 1; }
msibuild "$stage/package.msi" -i "$stage/Registry.idt"
# wixl leaves the Version and Language of the versioned files empty.
msiinfo export "$stage/package.msi" File > "$stage/File.idt"
sed -i -E "s/^((ProgramFile|MessagesFile)\t[^\t]*\t[^\t]*\t[0-9]+)\t\t\t/\1\t$file_version\t1033\t/" \
  "$stage/File.idt"
[ "$(grep -c "	$file_version	1033	" "$stage/File.idt")" -eq 2 ] || { echo "no File versions" >&2; exit 1; }
msibuild "$stage/package.msi" -i "$stage/File.idt"
msiinfo export "$stage/package.msi" RemoveFile > "$stage/RemoveFile.idt"
# FileKey, Component, FileName, DirProperty, InstallMode (2: at uninstall). The program
# writes its log in its own folder, INSTALLDIR; older versions wrote it at a fixed path,
# which is INSTALLDIR's only when that is the default, and a log they left goes too.
printf 'DebugLog\tProgram\tKstvCardReader.log\tINSTALLDIR\t2\r\n' >> "$stage/RemoveFile.idt"
printf 'FixedDebugLog\tProgram\tKstvCardReader.log\tFixedLogFolder\t2\r\n' >> "$stage/RemoveFile.idt"
# The previous run's log, which a run keeps beside the log.
printf 'PreviousDebugLog\tProgram\tKstvCardReader.log.1\tINSTALLDIR\t2\r\n' >> "$stage/RemoveFile.idt"
printf 'FixedPreviousDebugLog\tProgram\tKstvCardReader.log.1\tFixedLogFolder\t2\r\n' >> "$stage/RemoveFile.idt"
msibuild "$stage/package.msi" -i "$stage/RemoveFile.idt"
# Type: an executable from the package's files (0x12), its exit code ignored (0x40), run
# in the installation script (0x400) at rollback only (0x100), as the system (0x800).
msiinfo export "$stage/package.msi" CustomAction > "$stage/CustomAction.idt"
sed -i 's/^UnregisterServiceOnRollback\t[0-9]*\t/UnregisterServiceOnRollback\t3410\t/' "$stage/CustomAction.idt"
grep -q "^UnregisterServiceOnRollback	3410	" "$stage/CustomAction.idt" || { echo "no rollback action row" >&2; exit 1; }
msibuild "$stage/package.msi" -i "$stage/CustomAction.idt"
# The row that finds older versions (to replace them) takes the package's own version too
# (msidbUpgradeAttributesVersionMaxInclusive, 0x200, beside MigrateFeatures, 1), so that a
# rebuilt package of the same version replaces the installed one instead of installing
# beside it. The row that finds newer versions (and refuses to go over them) is unchanged.
msiinfo export "$stage/package.msi" Upgrade > "$stage/Upgrade.idt"
sed -i -E "s/^(\{[^\t]*\}\t\t$version\t\t)1\t/\1513\t/" "$stage/Upgrade.idt"
grep -q "		$version		513	" "$stage/Upgrade.idt" || { echo "no Upgrade row" >&2; exit 1; }
msibuild "$stage/package.msi" -i "$stage/Upgrade.idt"
# The install folder's access list, not inherited from its parent (P): owned by the
# administrators (O:BA), full control for the system (SY) and administrators (BA), read
# and execute for users (BU), inherited by the files and folders below (OICI). A folder
# made below a drive's root, or made earlier by a user, would otherwise let others than
# the administrators change the program that the service runs as the system.
cat > "$stage/MsiLockPermissionsEx.idt" <<'TABLE'
MsiLockPermissionsEx	LockObject	Table	SDDLText	Condition
s72	s72	s32	l0	S255
MsiLockPermissionsEx	MsiLockPermissionsEx
InstallFolderRights	INSTALLDIR	CreateFolder	O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)	
TABLE
sed -i 's/$/\r/' "$stage/MsiLockPermissionsEx.idt"
msibuild "$stage/package.msi" -i "$stage/MsiLockPermissionsEx.idt"
if [ "$variant" = --fail-late ]; then
  # cmd.exe /c exit 1 from the system folder (type 34: an executable in a directory),
  # run in the script as the system (0x400 | 0x800), its failure checked.
  printf 'FailLate\t3106\tSystemFolder\tcmd.exe /c exit 1\t\r\n' >> "$stage/CustomAction.idt"
  msibuild "$stage/package.msi" -i "$stage/CustomAction.idt"
  msiinfo export "$stage/package.msi" Directory > "$stage/Directory.idt"
  printf 'SystemFolder\tTARGETDIR\t.\r\n' >> "$stage/Directory.idt"
  msibuild "$stage/package.msi" -i "$stage/Directory.idt"
  msiinfo export "$stage/package.msi" InstallExecuteSequence > "$stage/InstallExecuteSequence.idt"
  printf 'FailLate\tNOT REMOVE="ALL"\t4003\r\n' >> "$stage/InstallExecuteSequence.idt"
  msibuild "$stage/package.msi" -i "$stage/InstallExecuteSequence.idt"
elif [ -n "$variant" ]; then
  echo "build-package.sh: unknown variant $variant" >&2
  exit 2
fi
mv "$stage/package.msi" "$out"
