// Control API of the emulated machine, for host tests and tools only. System code never
// includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace kstv::host {

// --- Failure injection -------------------------------------------------------------
// Makes the named platform call fail with `code`: registry calls return it, calls that
// report through the last error set it, COM calls return it as their HRESULT.
// The first `after` calls still succeed; then `times` calls fail (kAlways: every call).
// A program started with KSTV_FAIL_CALLS="NAME=CODE[,...]" has those calls fail always.
inline constexpr unsigned kAlways = ~0U;
void failCall(const std::string& call, DWORD code, unsigned times = kAlways, unsigned after = 0);
void clearFailures();
// Runs `action` on the calling thread when the named call is next made (after `after`
// calls of it), before the call does anything; once. Some calls also offer a point as
// they return, named "<call>:return". clearFailures forgets the actions not yet run.
void onCall(const std::string& call, std::function<void()> action, unsigned after = 0);
// While on, Sleep does not wait but advances GetTickCount by its time.
void useTestClock(bool skipSleeps);
// How often the named call has been made since the last resetCallCounts (every call
// that failure injection can reach is counted).
std::size_t callCount(const std::string& call);
void resetCallCounts();

// --- Registry ------------------------------------------------------------------------
// Lets the key at `path` below `root` grant only the rights in `granted`, as a security
// descriptor would: an open or creation of it that asks for more, a new subkey below it
// without KEY_CREATE_SUB_KEY, and its deletion without DELETE are refused with
// ERROR_ACCESS_DENIED. The key must exist.
bool limitKeyAccess(HKEY root, const char* path, REGSAM granted);
// The same with KEY_READ: the key opens for reading only and is never deleted.
bool markKeyReadOnly(HKEY root, const char* path);
// Forgets every limit (read-only marks included).
void clearReadOnlyMarks();
// Open registry handles of this process, the predefined roots not counted.
std::size_t openRegistryHandleCount();
// In-memory machines only: forget every key and value (handles still open go stale).
void resetRegistry();
// The identity of the key at `path` below `root` (null or empty: the root itself), which
// stays the key's own for its life; nothing when the key does not exist.
std::optional<std::int64_t> registryKeyIdentity(HKEY root, const char* path);
// A scope whose changes to the machine are all undone when it ends: one transaction,
// rolled back, which costs far less than resetRegistry (the fuzzers use it for every
// input). The creating thread holds the machine for the scope's life; each platform call
// within it still succeeds or fails whole. Handles and read-only marks are the process's
// own and are not undone.
class ScratchScope {
 public:
  ScratchScope();
  ~ScratchScope();
  ScratchScope(const ScratchScope&) = delete;
  ScratchScope& operator=(const ScratchScope&) = delete;

  // Identities of the keys that were written within the scope: a value set or removed,
  // a subkey added or removed, the key itself removed. A key not listed is unchanged.
  std::vector<std::int64_t> touchedKeys();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// --- Text ----------------------------------------------------------------------------
// The ANSI code page: 1252 (default), the double-byte code page 932, or UTF-8 (65001, as
// Windows' "Use Unicode UTF-8 for worldwide language support" sets it; served by the
// conversions, while the calls that walk ANSI text step through it byte by byte).
void setAnsiCodePage(UINT codePage);

// --- The program's module --------------------------------------------------------------
// Where the program lives on the emulated machine unless a test says otherwise.
inline constexpr char kDefaultModulePath[] =
    "C:\\Program Files\\Kestrova\\MemoryCard\\KstvCardReader.exe";
// The path GetModuleFileNameA reports for the program's own module, in the ANSI code page
// (GetModuleFileNameW gives it in UTF-16).
void setModulePath(const std::string& path);
// The same path given in UTF-8, as the system keeps it in Unicode: a name the ANSI code
// page cannot hold. GetModuleFileNameA gives it in the code page, each character the page
// lacks as "?" (where Windows may give a look-alike letter, "O" for "Ω", as Wine does).
void setModulePathUtf8(const std::string& path);
// The text GetCommandLineA returns.
void setCommandLine(const std::string& commandLine);

// --- COM -----------------------------------------------------------------------------
// How many successful CoInitialize(Ex) calls of the calling thread are not yet undone.
int comInitializationDepth();

// --- Volumes -------------------------------------------------------------------------
// A volume of the emulated machine, with the storage descriptor it reports and the
// faults it has been given. The volume opens with no access rights (the storage queries
// need none); an open for more mounts its file system, as Windows does, which reads the
// medium.
struct Volume {
  char letter = 'E';
  UINT driveType = DRIVE_REMOVABLE;
  std::optional<std::string> vendor;    // absent: the descriptor carries no vendor id
  std::optional<std::string> product;   // absent: no product id
  DWORD openError = 0;                  // CreateFileA on \\.\X: fails with it
  DWORD headerError = 0;                // the header query (an 8-byte buffer) fails with it
  DWORD descriptorError = 0;            // the full descriptor query fails with it
  std::optional<DWORD> vendorIdOffset;  // reported instead of the true offsets
  std::optional<DWORD> productIdOffset;
  std::optional<DWORD> descriptorSize;  // reported as Size instead of the true size
  // Bytes the header query (an 8-byte buffer) or the descriptor query reports instead of
  // the descriptor built from the fields above, cut to the caller's buffer.
  std::optional<std::string> headerAnswer;
  std::optional<std::string> descriptorAnswer;
  // An empty slot of a reader: the descriptor is still the reader's, but the medium check
  // (IOCTL_STORAGE_CHECK_VERIFY2, or ..._CHECK_VERIFY on a handle with read access) and
  // an open that mounts fail with ERROR_NOT_READY.
  bool noMedium = false;
  // A failing card: each answer of the device (a query, the medium check, a mount) takes
  // this long.
  DWORD answerMilliseconds = 0;
};
// Inserts (or replaces) a volume; a machine starts with C:, fixed, without a vendor.
void addVolume(const Volume& volume);
bool removeVolume(char letter);
std::vector<Volume> volumes();

// --- WMI -------------------------------------------------------------------------------
// Waits until every active notification query has looked at the volume table as it is
// now and delivered what it found. False when that took longer than `timeoutSeconds`.
bool waitForDiskEvents(double timeoutSeconds = 10);
// Makes every active notification query poll now, and waits only until each has looked
// at the volume table (what it found may still be on its way to the sink).
bool pollDiskEventsNow(double timeoutSeconds = 10);
// Notification queries started and not yet cancelled. As on Windows, releasing the
// services object does not end them; only CancelAsyncCall does.
std::size_t activeNotificationQueries();
// Cancels every query still active (a test's cleanup after a program that did not) and
// says how many there were.
std::size_t cancelAllNotificationQueries();
// As with WMI, cancelling a query does not wait for a batch that is being delivered: its
// thread finishes the batch, reports the cancellation and releases the sink afterwards.
// Waits until every such thread has done so; false when that took longer than
// `timeoutSeconds`.
bool waitForCancelledDeliveries(double timeoutSeconds = 10);

// --- Chaos ---------------------------------------------------------------------------
// Makes the machine as unkind as Windows may be: each notification query hands its
// batches to a delivery thread of its own, which delivers each after a random delay of
// up to 300 ms (so that the two queries' deliveries overlap and come in any order, while
// each query's own keep theirs), and each storage property query takes a random 0 to
// 200 ms. The polls keep their schedule. Delays are drawn from one generator seeded with
// `seed`; nullopt turns chaos off. A program started with KSTV_CHAOS=SEED (a decimal
// number) has it on from the start. A query takes the setting in force when it starts.
void setChaos(std::optional<unsigned> seed);

// --- Call records --------------------------------------------------------------------
// While recording is on, the calls whose arguments tests pin down are kept in order,
// each with its arguments as text: numbers as "0x" and upper-case hexadecimal, pointers
// as "null" or an address, strings as UTF-8 ("null" for none).
//   CreateFileA (of a device:   path, access, share mode, security attributes,
//   \\.\ and anything)          disposition, flags and attributes, template
//   RegSetValueExA              value name, type, byte count as given
//   ConnectServer               resource, user, password, locale, security flags,
//                               authority, context
//   CoSetProxyBlanket           proxy, authentication service, authorization service,
//                               principal, authentication level, impersonation level,
//                               identity, capabilities
//   ExecNotificationQueryAsync  language, query, flags, context, sink
//   CancelAsyncCall             sink
//   Indicate                    sink, object count, the drives' letters ("EF"): a batch a
//                               notification query delivered
struct RecordedCall {
  std::string call;
  std::vector<std::string> arguments;
  bool operator==(const RecordedCall&) const = default;
};
// Switching recording on or off forgets what was recorded before.
void recordCalls(bool on);
std::vector<RecordedCall> recordedCalls();
std::vector<RecordedCall> recordedCalls(const std::string& call);

// --- Leak accounting ---------------------------------------------------------------------
std::size_t openKernelHandleCount();
std::size_t liveComObjectCount();  // the host's own COM objects (WMI, stubs, events)
std::size_t liveBstrCount();
std::size_t liveLocalAllocations();
std::size_t liveTaskAllocations();
std::size_t liveHeapAllocations();  // the process heap (HeapAlloc)
std::size_t loadedDataModules();    // LoadLibraryExA loads not yet freed

// --- Files ---------------------------------------------------------------------------------
// Where the machine keeps drive C: (drive_c/ in the machine directory; a private temporary
// folder, removed at exit, for an in-memory machine), and the host path of a Windows path.
const std::string& driveCRoot();
std::string hostPathOf(const std::string& windowsPath);
// Gives a file or folder of drive C: a security descriptor of its own (owner, group and
// access list, in SDDL as Windows writes it), which GetNamedSecurityInfoA reports whole.
// A path without one has what its folder passes on, as Windows passes entries on to what
// is made in a folder (the folder's owner and group, the entries that apply to it). A
// machine starts with the descriptors Windows 10 gives C:\ (users may make folders there
// and change whatever is made below it) and C:\Program Files (users may read and run what
// is below it). The program's own file and the folders above it are there, whether or
// not drive_c holds them. False for text that is not SDDL or a path not on drive C:.
bool setFileSecurity(const std::string& windowsPath, const std::string& sddl);
// Forgets every descriptor set, back to the machine's first ones.
void resetFileSecurity();

// --- Debugger channel and event log ---------------------------------------------------------
// Every OutputDebugStringA text since the machine began (debugger.log in the machine
// directory). KSTV_DEBUG_ECHO=1 also echoes each to standard error.
std::vector<std::string> debuggerOutput();
struct Event {
  std::string source;
  WORD type;
  WORD category;
  DWORD eventId;
  std::vector<std::string> strings;
};
// Every ReportEventA report, oldest first.
std::vector<Event> eventLog();

// --- Version --------------------------------------------------------------------------------
// The version GetVersionExA reports: 10.0 unless set here or, at start, by the
// environment variable KSTV_WINDOWS_VERSION (for example 6.1).
void setWindowsVersion(DWORD major, DWORD minor);

// --- Security ---------------------------------------------------------------------------
// The SIDs of the process token: S-1-22-1-<uid> for the user and S-1-22-2-<gid> for the
// primary group, the forms Unix identities take in Windows networks.
// Gives the calling thread an impersonation token of the given user and group relative
// ids (S-1-22-1-<user>, S-1-22-2-<group>); revertToSelf takes it away.
void impersonate(DWORD user, DWORD group);
void revertToSelf();
// The security descriptor COM was given by CoInitializeSecurity, and whether it was called.
bool comSecurityInitialized();
// The arguments of the CoInitializeSecurity call that took effect: the descriptor's owner
// and group SIDs in their binary form (empty when the descriptor was null), the levels and
// capabilities.
struct ComSecurityArguments {
  bool descriptorGiven = false;
  std::vector<BYTE> owner;
  std::vector<BYTE> group;
  LONG authenticationServiceCount = 0;
  DWORD authenticationLevel = 0;
  DWORD impersonationLevel = 0;
  DWORD capabilities = 0;
};
ComSecurityArguments comSecurityArguments();
void resetComSecurity();

// --- Named objects ---------------------------------------------------------------------
// Takes from this process the right to make objects in the global namespace
// (SeCreateGlobalPrivilege), as Windows does for a user without administrator rights
// outside session 0: CreateFileMappingA refuses a "Global\" section with
// ERROR_ACCESS_DENIED (a mutex there anyone may make).
void refuseGlobalObjects(bool refuse);

// --- The service manager ------------------------------------------------------------------
// Makes the next StartServiceCtrlDispatcherA behave as in a process the service manager
// started (otherwise it fails with 1063). Controls sent with sendServiceControl reach the
// handler on the dispatcher's thread; every status reported is recorded.
void setStartedByServiceManager(bool started);
// Sends a control to the running service's handler and gives the handler's result
// (ERROR_SERVICE_NOT_ACTIVE, 1062, when no handler runs). Waits for the handler.
DWORD sendServiceControl(DWORD control);
std::vector<SERVICE_STATUS> serviceStatusReports();
// The status the service manager gives of the machine's service now (QueryServiceStatus):
// its last report; STOPPED with 1067 (ERROR_PROCESS_ABORTED) once its process has ended
// without reporting STOPPED; STOPPED with ERROR_SERVICE_NEVER_STARTED without a report.
SERVICE_STATUS currentServiceStatus();
// Forgets the reports and controls of earlier runs.
void clearServiceReports();
// The platform calls (locks included) that the thread which reported the service STOPPED
// made after that report, in order. On Windows the dispatcher returns on that report and
// the process ends while the thread may still run: it must touch nothing of the process
// then. Cleared with the reports.
std::vector<std::string> callsAfterFinalStop();
// Waits until the service reports `state` (any time since the dispatcher started).
bool waitForServiceState(DWORD state, double timeoutSeconds = 10);
// Makes StartServiceA in this process call `start` (a test's own service: a new run of it)
// once the entry has passed the manager's checks, instead of starting the program in a
// process of its own; its result is the call's error code (0: started). Empty: forgets it.
void setServiceStarter(std::function<DWORD()> start);

// --- Service entries ----------------------------------------------------------------
// An entry of the service database, as CreateServiceA made it.
struct ServiceEntry {
  std::string name;
  std::string displayName;
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  DWORD startType = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  std::string imagePath;
  std::vector<std::string> dependencies;
  std::string account = "LocalSystem";
};
void addServiceEntry(const ServiceEntry& entry);
std::optional<ServiceEntry> serviceEntry(const std::string& name);
// Makes OpenSCManagerA refuse any access beyond a user's (connect, enumerate, lock
// status) with ERROR_ACCESS_DENIED, as for a user without administrator rights.
void refuseServiceManagerFullAccess(bool refuse);
// Every ControlService call this process made, in order.
struct ServiceControlSent {
  std::string service;
  DWORD control;
};
std::vector<ServiceControlSent> serviceControlsSent();
std::size_t openServiceHandleCount();
// Forgets every entry, the recorded controls and the refusal.
void resetServiceManager();

// --- Message boxes and other libraries ----------------------------------------------------
// Every MessageBoxA call, in order. `seen` is false for a box on a window station that no
// user sees, which nobody can close: on Windows the caller hangs there, so such a box is a
// fault (in a process started with KSTV_NO_DESKTOP=1 the host hangs too).
struct MessageBoxShown {
  std::string caption;
  std::string text;
  UINT type;
  bool hasOwner;
  bool seen;
};
std::vector<MessageBoxShown> messageBoxes();
void clearMessageBoxes();
// Whether a user sees the process's window station (GetUserObjectInformationA's
// WSF_VISIBLE): true unless the process was started with KSTV_NO_DESKTOP=1.
void setWindowStationVisible(bool visible);
// LoadLibraryA loads not yet freed ("oleaut32.dll" is the only library there is).
std::size_t loadedLibraries();
// Library attributes handed out by ITypeLib::GetLibAttr and not yet released.
std::size_t liveTypeLibraryAttributes();

// --- The machine ---------------------------------------------------------------------
// The machine directory named by KSTV_MACHINE, or empty for an in-memory machine.
const std::string& machineDirectory();
// For a program a user runs from the shell: when KSTV_MACHINE names no directory, says on
// standard error, after `program` and a colon, that the machine lives only as long as
// the command; nothing otherwise.
void notePrivateMachine(const char* program);

}  // namespace kstv::host
