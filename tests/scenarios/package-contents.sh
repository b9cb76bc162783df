#!/bin/sh
# What the installer package holds, read with msiinfo: the files in the folders the badges
# name, the event source values, the service control, the program's two roads as deferred
# custom actions without impersonation (and -UnregServer again as the rollback of
# -Service), in their place in the sequence, the versions an upgrade replaces, and the
# install folder's rights.
# Usage: package-contents.sh PACKAGE.msi VERSION FILE-VERSION
#        (VERSION: the project's, a.b.c; FILE-VERSION: its files', a.b.c.d)
set -u
msi=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
version=$2
file_version=$3
. "$(dirname "$0")/checks.sh"
# msiinfo writes a table's streams (the Icon table's icons) into the current folder.
here=$(mktemp -d)
trap 'rm -rf "$here"' EXIT
cd "$here" || exit 1
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
# A table's column names, as Windows Installer finds the columns by them.
columns() { msiinfo export "$msi" "$1" | tr -d '\r' | head -n 1; }
# The sequence number of an action, and its condition.
sequence() { table InstallExecuteSequence | awk -F '\t' -v a="$1" '$1 == a {print $3}'; }
condition() { table InstallExecuteSequence | awk -F '\t' -v a="$1" '$1 == a {print $2}'; }
# A file's folder, by the Directory table's names.
folder_of() {
  component=$(table File | awk -F '\t' -v f="$1" '$3 == f {print $2}')
  directory=$(table Component | awk -F '\t' -v c="$component" '$1 == c {print $3}')
  path=""
  while [ -n "$directory" ] && [ "$directory" != TARGETDIR ]; do
    name=$(table Directory | awk -F '\t' -v d="$directory" '$1 == d {print $3}')
    path="${name##*|}\\$path"
    directory=$(table Directory | awk -F '\t' -v d="$directory" '$1 == d {print $2}')
  done
  printf '%s' "$path"
}

check "the program lies in Kestrova\\MemoryCard" \
  test "$(folder_of KstvCardReader.exe)" = '.\Kestrova\MemoryCard\'
check "the message file beside it" test "$(folder_of KstvCardReaderMessages.dll)" = '.\Kestrova\MemoryCard\'
check "kicsd.ico in SD" test "$(folder_of kicsd.ico)" = '.\Kestrova\MemoryCard\SD\'
check "kicmmc.ico in SD" test "$(folder_of kicmmc.ico)" = '.\Kestrova\MemoryCard\SD\'
check "kicxd.ico in XD" test "$(folder_of kicxd.ico)" = '.\Kestrova\MemoryCard\XD\'
check "kicms.ico in MS" test "$(folder_of kicms.ico)" = '.\Kestrova\MemoryCard\MS\'
check "six files and no more" test "$(table File | wc -l)" -eq 6
version_of() { table File | awk -F '\t' -v f="$1" '$3 == f {print $5 " " $6}'; }
check "the program is versioned as the project ($file_version), in US English" \
  test "$(version_of KstvCardReader.exe)" = "$file_version 1033"
check "the message file too" test "$(version_of KstvCardReaderMessages.dll)" = "$file_version 1033"
check "the package's version is the project's" \
  test "$(table Property | awk -F '\t' '$1 == "ProductVersion" {print $2}')" = "$version"
check "the debug log and the previous run's go at uninstall, from INSTALLDIR and from the fixed path older versions wrote them at" \
  test "$(table RemoveFile | awk -F '\t' '{print $3 " " $4 " " $5}' | sort | tr '\n' ';')" = \
  "KstvCardReader.log FixedLogFolder 2;KstvCardReader.log INSTALLDIR 2;KstvCardReader.log.1 FixedLogFolder 2;KstvCardReader.log.1 INSTALLDIR 2;"
check "the fixed path is Kestrova\\MemoryCard below the program files, whatever INSTALLDIR" \
  test "$(table Directory | awk -F '\t' '$1 == "FixedLogFolder" {print $2 " " $3}')" = "KestrovaFolder MemoryCard"
check "the default folder below ProgramFiles64Folder is INSTALLDIR" \
  test "$(table Directory | awk -F '\t' '$1 == "INSTALLDIR" {print $3}')" = MemoryCard

source_key='SYSTEM\CurrentControlSet\Services\EventLog\Application\KstvCardReader\'
value_of() { table Registry | awk -F '\t' -v k="$source_key" -v n="$1" '$2 == 2 && $3 == k && $4 == n {print $5}'; }
check "EventMessageFile is the DLL's path, REG_EXPAND_SZ" test "$(value_of EventMessageFile)" = '#%[#MessagesFile]'
check "TypesSupported is 7" test "$(value_of TypesSupported)" = '#7'
check "the event source key goes at uninstall" test "$(table Registry | awk -F '\t' -v k="$source_key" '$3 == k && $4 == "-"' | wc -l)" -eq 1

# Type 3090: an executable from an installed file (18), deferred (1024), not impersonated
# (2048); 3154 also ignores the exit code (64).
action() { table CustomAction | awk -F '\t' -v a="$1" '$1 == a {print $2 " " $3 " " $4}'; }
check "-Service runs deferred, as the system, and its failure fails the installation" \
  test "$(action RegisterService)" = "3090 ProgramFile -Service"
check "-UnregServer runs deferred, as the system" test "$(action UnregisterService)" = "3154 ProgramFile -UnregServer"
check "-Service runs when installing, after the files and before the service starts" sh -c '
  [ "$1" = "NOT REMOVE=\"ALL\"" ] && [ "$2" -gt "$3" ] && [ "$2" -lt "$4" ]' - \
  "$(condition RegisterService)" "$(sequence RegisterService)" "$(sequence InstallFiles)" "$(sequence StartServices)"
check "-UnregServer runs when removing (not for an upgrade, nor once a newer product installed the program), after the service stops and before the files go" sh -c '
  [ "$1" = "REMOVE=\"ALL\" AND NOT UPGRADINGPRODUCTCODE AND (NOT REGISTEREDPRODUCT OR REGISTEREDPRODUCT = ProductCode)" ] && [ "$2" -gt "$3" ] && [ "$2" -lt "$4" ] && [ "$2" -gt "$5" ]' - \
  "$(condition UnregisterService)" "$(sequence UnregisterService)" "$(sequence StopServices)" \
  "$(sequence RemoveFiles)" "$(sequence InstallInitialize)"
# 3410: as -UnregServer's, run from the installation script (1024) at rollback only (256).
check "a rollback action runs -UnregServer as the system, its exit code ignored" \
  test "$(action UnregisterServiceOnRollback)" = "3410 ProgramFile -UnregServer"
check "armed at a first installation (not a repair, nor an upgrade), after the files and just before -Service" sh -c '
  [ "$1" = "NOT Installed AND NOT WIX_UPGRADE_DETECTED AND NOT REMOVE=\"ALL\"" ] && [ "$2" -gt "$3" ] && [ "$2" -lt "$4" ] &&
  [ "$(($4 - $2))" -eq 1 ]' - \
  "$(condition UnregisterServiceOnRollback)" "$(sequence UnregisterServiceOnRollback)" \
  "$(sequence InstallFiles)" "$(sequence RegisterService)"
# Event 35: start at installation (1), stop at installation (2) and at removal (0x20).
check "the service is started at installation and stopped at both, each waited for (files in use would wait for a restart)" \
  test "$(table ServiceControl | awk -F '\t' '{print $2 " " $3 " " $5}')" = "KstvCardReader 35 1"
check "an older version is removed by the upgrade" \
  test -n "$(sequence RemoveExistingProducts)"
# Attributes: 513 finds versions up to this one, this one included (0x200), and migrates
# their features (1); 2 only detects the newer ones, from above this one.
upgrade_code='{44394E40-6707-425C-B692-F71AED009AF5}'
check "an upgrade replaces older versions and another build of this one; newer ones are detected" \
  test "$(table Upgrade | tr '\t' ' ' | sort | tr '\n' ';')" = \
  "$upgrade_code  $version  513  WIX_UPGRADE_DETECTED;$upgrade_code $version   2  WIX_DOWNGRADE_DETECTED;"
check "and an older version over a newer one is refused with its message" \
  test "$(table LaunchCondition | tr '\t' '|')" = \
  "NOT WIX_DOWNGRADE_DETECTED|A newer version of Kestrova Card Reader is already installed."
product_value() { table Registry | awk -F '\t' -v n="$1" '$2 == 2 && $3 == "SOFTWARE\\Kestrova\\KstvCardReader" && $4 == n {print $5}'; }
check "the folder and the product that installed the program are remembered" \
  test "$(product_value InstallDir) $(product_value ProductCode)" = "[INSTALLDIR] [ProductCode]"
check "and read back by the next session" test "$(table AppSearch | awk -F '\t' '{print $1}' | sort | tr '\n' ' ')" = "INSTALLDIR REGISTEREDPRODUCT "
check "the program's key goes at uninstall, with an administrator's DebugLevel" test "$(table Registry |
  awk -F '\t' '$2 == 2 && ($3 == "SOFTWARE\\Kestrova\\KstvCardReader" || $3 == "SOFTWARE\\Kestrova\\KstvCardReader\\") && $4 == "-" && $6 == "Program"' | wc -l)" -eq 1
property() { table Property | awk -F '\t' -v p="$1" '$1 == p {print $2}'; }
check "Installed apps shows the product's icon" sh -c '
  [ "$1" = ProductIcon.ico ] && [ "$2" = "ProductIcon.ico	Icon.ProductIcon.ico" ]' - \
  "$(property ARPPRODUCTICON)" "$(table Icon | tr -d '\r')"
check "no Modify, which would only repeat a repair" test "$(property ARPNOMODIFY)" = 1
check "files of an equal version are replaced (another build of the same version)" \
  test "$(property REINSTALLMODE)" = emus
check "a comment that says what the product does" \
  test "$(property ARPCOMMENTS)" = "Gives memory cards in Kestrova's card reader their own icon and label in Explorer."
# Wine does not enforce file access lists: only the rows are checked here.
check "the install folder is made by the program's component, with rights of its own, before the files" sh -c '
  [ "$1" = "INSTALLDIR Program" ] && [ "$2" -lt "$3" ]' - \
  "$(table CreateFolder | tr '\t' ' ' | grep '^INSTALLDIR ')" "$(sequence CreateFolders)" "$(sequence InstallFiles)"
check "and the Kestrova folder above it by a component of its own, which removes it once empty" \
  test "$(table CreateFolder | tr '\t' ' ' | grep -v '^INSTALLDIR ')" = "KestrovaFolder MakerFolder"
check "the permission table has the columns Windows Installer reads" test "$(columns MsiLockPermissionsEx)" = \
  "MsiLockPermissionsEx	LockObject	Table	SDDLText	Condition"
check "its owner is the administrators, its access list its own (not inherited): full control for the system and the administrators, read and execute for users, passed on to what lies below" \
  test "$(table MsiLockPermissionsEx | tr '\t' ' ' | sed 's/ *$//')" = \
  "InstallFolderRights INSTALLDIR CreateFolder O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)"
check "a per-machine x64 package" sh -c '
  msiinfo suminfo "$1" | grep -q "Template: x64;1033" && [ "$(msiinfo export "$1" Property | tr -d "\r" | awk -F "\t" "\$1 == \"ALLUSERS\" {print \$2}")" = 1 ]' - "$msi"

finish
