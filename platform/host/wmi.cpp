// WMI on the emulated machine: the locator, the ROOT\CIMV2 namespace with notification
// queries for Win32_LogicalDisk creation and deletion (served by polling the volume
// table at the query's WITHIN interval), and the unsecured apartment's sink stubs.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/control.h"
#include "platform/host/detail/call_records.h"
#include "platform/host/detail/chaos.h"
#include "platform/host/detail/com_object.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/text.h"
#include "platform/host/detail/volumes.h"
#include "platform/host/detail/wmi_objects.h"

namespace kstv::host {
namespace detail {

std::atomic<long>& liveComObjects() {
  static std::atomic<long> count{0};
  return count;
}

}  // namespace detail

std::size_t liveComObjectCount() {
  return static_cast<std::size_t>(detail::liveComObjects().load());
}

namespace {

using detail::ComObject;
using detail::hexArgument;
using detail::injectedFailure;
using detail::pointerArgument;
using detail::recordCall;
using detail::textArgument;

// --- Notification queries -------------------------------------------------------------

struct QuerySpec {
  bool creation;  // __InstanceCreationEvent, else __InstanceDeletionEvent
  std::chrono::milliseconds interval;
};

// With chaos, the longest a batch waits between its poll and its delivery.
constexpr std::chrono::milliseconds kLongestDeliveryDelay{300};

// "SELECT * FROM __Instance{Creation|Deletion}Event WITHIN n WHERE TargetInstance ISA
// 'Win32_LogicalDisk'", keywords in any case: the one form of query this WMI serves.
std::optional<QuerySpec> parseQuery(const std::u16string& query) {
  static const std::regex form(
      R"(^\s*SELECT\s+\*\s+FROM\s+__Instance(Creation|Deletion)Event\s+WITHIN\s+([0-9]+(\.[0-9]+)?)\s+)"
      R"(WHERE\s+TargetInstance\s+ISA\s+'Win32_LogicalDisk'\s*$)",
      std::regex::icase);
  std::smatch match;
  std::string text = detail::wideToUtf8(query);
  if (!std::regex_match(text, match, form)) return std::nullopt;
  double seconds = std::stod(match[2].str());
  if (seconds <= 0) return std::nullopt;
  return QuerySpec{detail::foldCase(detail::utf8ToWide(match[1].str())) == u"CREATION",
                   std::chrono::milliseconds(static_cast<long long>(seconds * 1000))};
}

// Threads of cancelled queries that were still delivering a batch when cancelled.
class FinishingDeliveries {
 public:
  void begin() {
    std::lock_guard guard(lock_);
    ++count_;
  }
  // Notifies under the lock: a waiter that wakes may let the process end at once.
  void end() {
    std::lock_guard guard(lock_);
    --count_;
    done_.notify_all();
  }
  bool waitUntilNone(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock guard(lock_);
    return done_.wait_until(guard, deadline, [&] { return count_ == 0; });
  }

 private:
  std::mutex lock_;
  std::condition_variable done_;
  std::size_t count_ = 0;
};

// Never destroyed: a thread may still be leaving it while the process ends.
FinishingDeliveries& finishing() {
  static FinishingDeliveries* deliveries = new FinishingDeliveries;
  return *deliveries;
}

class NotificationQuery {
 public:
  NotificationQuery(QuerySpec spec, IWbemObjectSink* sink)
      : spec_(spec), sink_(sink), delayed_(detail::chaosOn()) {
    sink_->AddRef();
    for (char letter : detail::volumeLetters()) known_.insert(letter);
  }
  ~NotificationQuery() = default;

  // The polling thread; with chaos, also the delivery thread, which the polling thread
  // (holding `self`) joins before it ends.
  void start(const std::shared_ptr<NotificationQuery>& self) {
    if (delayed_) deliverer_ = std::thread([this] { deliverInTurn(); });
    thread_ = std::thread([self] { self->run(); });
  }

  IWbemObjectSink* sink() const { return sink_; }

  // Cancels the query: no batch is delivered after this returns (batches still waiting
  // for their delivery are dropped). As with WMI, a batch already being delivered is not
  // waited for: its thread finishes it, then the cancellation is reported and the sink let
  // go. Otherwise the polling thread is joined, so that the report has been made when
  // this returns.
  void stop() {
    bool delivering;
    {
      std::lock_guard guard(lock_);
      stopping_ = true;
      delivering = delivering_;
      if (delivering) finishing().begin();
      finishingAfterStop_ = delivering;
    }
    changed_.notify_all();
    if (delivering || thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else if (thread_.joinable())
      thread_.join();
  }

  // Waits until a poll that begins after this call has delivered its events or, with
  // `delivered` false, has only looked at the volume table.
  bool waitForPoll(std::chrono::steady_clock::time_point deadline, bool delivered = true) {
    std::unique_lock guard(lock_);
    std::uint64_t target = pollsStarted_ + 1;
    wake_ = true;
    changed_.notify_all();
    return changed_.wait_until(guard, deadline, [&] {
      return (delivered ? pollsCompleted_ : pollsRead_) >= target || stopping_;
    });
  }

 private:
  // Polls on a fixed schedule from the start of the query, as WMI does: the time a
  // delivery takes does not push the next poll back.
  void run() {
    auto nextPoll = std::chrono::steady_clock::now() + spec_.interval;
    for (;;) {
      std::uint64_t poll;
      {
        std::unique_lock guard(lock_);
        changed_.wait_until(guard, nextPoll, [&] { return stopping_ || wake_; });
        if (stopping_) break;
        if (!wake_) {
          auto now = std::chrono::steady_clock::now();
          while (nextPoll <= now) nextPoll += spec_.interval;
        }
        wake_ = false;
        poll = ++pollsStarted_;
      }
      std::vector<char> letters = changes();
      {
        std::lock_guard guard(lock_);
        pollsRead_ = poll;
      }
      changed_.notify_all();
      if (delayed_) {
        handOver(poll, std::move(letters));
        continue;
      }
      bool deliverNow = false;
      {
        // A cancellation that came first stops the batch; one that comes later finds it
        // under way and does not wait for it.
        std::lock_guard guard(lock_);
        deliverNow = !letters.empty() && !stopping_;
        delivering_ = deliverNow;
      }
      if (deliverNow) deliver(letters);
      {
        std::lock_guard guard(lock_);
        delivering_ = false;
        pollsCompleted_ = poll;
      }
      changed_.notify_all();
    }
    if (deliverer_.joinable()) deliverer_.join();
    // WMI reports the end of a cancelled call, then lets the sink go.
    sink_->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED, nullptr, nullptr);
    sink_->Release();
    bool finishingAfterStop;
    {
      std::lock_guard guard(lock_);
      finishingAfterStop = finishingAfterStop_;
    }
    if (finishingAfterStop) finishing().end();
  }

  // With chaos: the poll's batch (maybe empty) waits for a random delay on the delivery
  // thread, behind the batches of earlier polls.
  void handOver(std::uint64_t poll, std::vector<char> letters) {
    // A poll that found nothing has nothing to deliver: it only keeps its place in turn.
    const auto delay =
        letters.empty()
            ? std::chrono::milliseconds(0)
            : detail::chaosDelay(kLongestDeliveryDelay).value_or(std::chrono::milliseconds(0));
    {
      std::lock_guard guard(lock_);
      waiting_.push_back(Batch{poll, std::move(letters), std::chrono::steady_clock::now() + delay});
    }
    changed_.notify_all();
  }

  // The delivery thread: each batch in the order of its poll, none before it is due. A
  // poll counts as completed once its batch has been delivered.
  void deliverInTurn() {
    std::unique_lock guard(lock_);
    for (;;) {
      changed_.wait(guard, [&] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      if (changed_.wait_until(guard, waiting_.front().due, [&] { return stopping_; })) return;
      Batch batch = std::move(waiting_.front());
      waiting_.pop_front();
      delivering_ = !batch.letters.empty();
      guard.unlock();
      deliver(batch.letters);
      guard.lock();
      delivering_ = false;
      pollsCompleted_ = batch.poll;
      changed_.notify_all();
    }
  }

  std::vector<char> changes() {
    std::vector<char> current = detail::volumeLetters();
    std::set<char> now(current.begin(), current.end());
    std::vector<char> changed;
    const std::set<char>& from = spec_.creation ? now : known_;
    const std::set<char>& without = spec_.creation ? known_ : now;
    std::set_difference(from.begin(), from.end(), without.begin(), without.end(),
                        std::back_inserter(changed));
    known_ = std::move(now);
    return changed;
  }

  void deliver(const std::vector<char>& letters) {
    if (letters.empty()) return;
    const std::u16string eventClass =
        spec_.creation ? u"__InstanceCreationEvent" : u"__InstanceDeletionEvent";
    std::vector<IWbemClassObject*> batch;
    for (char letter : letters) batch.push_back(detail::makeDiskEvent(eventClass, letter));
    recordCall("Indicate", {pointerArgument(sink_), hexArgument(batch.size()),
                            std::string(letters.begin(), letters.end())});
    sink_->Indicate(static_cast<LONG>(batch.size()), batch.data());
    for (IWbemClassObject* event : batch) event->Release();
  }

  struct Batch {
    std::uint64_t poll;
    std::vector<char> letters;
    std::chrono::steady_clock::time_point due;
  };

  const QuerySpec spec_;
  IWbemObjectSink* const sink_;
  const bool delayed_;    // chaos: batches go through the delivery thread
  std::set<char> known_;  // touched only by the polling thread after construction
  std::thread thread_;
  std::thread deliverer_;
  std::deque<Batch> waiting_;  // with chaos, batches not yet due or not yet delivered
  std::mutex lock_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool wake_ = false;
  bool delivering_ = false;          // a batch is being handed to the sink
  bool finishingAfterStop_ = false;  // stop() found one and did not wait for it
  std::uint64_t pollsStarted_ = 0;
  std::uint64_t pollsRead_ = 0;  // polls that have looked at the volume table
  std::uint64_t pollsCompleted_ = 0;
};

// Every query started and not yet cancelled, across all connections.
struct ActiveQueries {
  std::mutex lock;
  std::vector<std::shared_ptr<NotificationQuery>> queries;
};

ActiveQueries& active() {
  static ActiveQueries queries;
  return queries;
}

bool equalsIgnoringCase(const BSTR text, const std::u16string& expected) {
  return text &&
         detail::foldCase(std::u16string(text, SysStringLen(text))) == detail::foldCase(expected);
}

// --- ROOT\CIMV2 ----------------------------------------------------------------------

// Queries outlive the services object they were started on: as on Windows, releasing
// it cancels nothing.
class Services final : public ComObject<IWbemServices, &IID_IWbemServices> {
 public:
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR language, const BSTR query,
                                                       LONG flags, IWbemContext* context,
                                                       IWbemObjectSink* handler) override {
    recordCall("ExecNotificationQueryAsync", {textArgument(language), textArgument(query),
                                              hexArgument(static_cast<unsigned long>(flags)),
                                              pointerArgument(context), pointerArgument(handler)});
    if (auto code = injectedFailure("ExecNotificationQueryAsync"))
      return static_cast<HRESULT>(*code);
    if (!language || !query || !handler) return WBEM_E_INVALID_PARAMETER;
    if (!equalsIgnoringCase(language, u"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
    auto spec = parseQuery(std::u16string(query, SysStringLen(query)));
    if (!spec) {
      // As WMI does: the call is taken, and its failure reported through the sink.
      handler->AddRef();
      std::thread([handler] {
        handler->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_INVALID_QUERY, nullptr, nullptr);
        handler->Release();
      }).detach();
      return WBEM_S_NO_ERROR;
    }
    auto started = std::make_shared<NotificationQuery>(*spec, handler);
    {
      std::lock_guard guard(lock_);
      queries_.push_back(started);
    }
    {
      std::lock_guard guard(active().lock);
      active().queries.push_back(started);
    }
    started->start(started);
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* sink) override {
    recordCall("CancelAsyncCall", {pointerArgument(sink)});
    std::shared_ptr<NotificationQuery> found;
    {
      std::lock_guard guard(lock_);
      auto match = std::find_if(queries_.begin(), queries_.end(),
                                [&](const auto& query) { return query->sink() == sink; });
      if (match == queries_.end()) return WBEM_E_NOT_FOUND;
      found = *match;
      queries_.erase(match);
    }
    forget(found);
    found->stop();
    return WBEM_S_NO_ERROR;
  }

#define KSTV_NOT_SUPPORTED(signature) \
  HRESULT STDMETHODCALLTYPE signature override { return WBEM_E_NOT_SUPPORTED; }
  KSTV_NOT_SUPPORTED(OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                   IWbemCallResult**))
  KSTV_NOT_SUPPORTED(QueryObjectSink(LONG, IWbemObjectSink**))
  KSTV_NOT_SUPPORTED(GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                               IWbemCallResult**))
  KSTV_NOT_SUPPORTED(GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_NOT_SUPPORTED(PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**))
  KSTV_NOT_SUPPORTED(PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_NOT_SUPPORTED(DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**))
  KSTV_NOT_SUPPORTED(DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_NOT_SUPPORTED(CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**))
  KSTV_NOT_SUPPORTED(CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_NOT_SUPPORTED(PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**))
  KSTV_NOT_SUPPORTED(PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_NOT_SUPPORTED(DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**))
  KSTV_NOT_SUPPORTED(DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_NOT_SUPPORTED(CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**))
  KSTV_NOT_SUPPORTED(CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_NOT_SUPPORTED(ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**))
  KSTV_NOT_SUPPORTED(ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_NOT_SUPPORTED(ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                           IEnumWbemClassObject**))
  KSTV_NOT_SUPPORTED(ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                IWbemClassObject**, IWbemCallResult**))
  KSTV_NOT_SUPPORTED(ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                     IWbemObjectSink*))
#undef KSTV_NOT_SUPPORTED

 private:
  static void forget(const std::shared_ptr<NotificationQuery>& query) {
    std::lock_guard guard(active().lock);
    auto& queries = active().queries;
    queries.erase(std::remove(queries.begin(), queries.end(), query), queries.end());
  }

  std::mutex lock_;
  std::vector<std::shared_ptr<NotificationQuery>> queries_;
};

class Locator final : public ComObject<IWbemLocator, &IID_IWbemLocator> {
 public:
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user, const BSTR password,
                                          const BSTR locale, LONG securityFlags,
                                          const BSTR authority, IWbemContext* context,
                                          IWbemServices** services) override {
    recordCall("ConnectServer",
               {textArgument(resource), textArgument(user), textArgument(password),
                textArgument(locale), hexArgument(static_cast<unsigned long>(securityFlags)),
                textArgument(authority), pointerArgument(context)});
    if (!services) return WBEM_E_INVALID_PARAMETER;
    *services = nullptr;
    if (auto code = injectedFailure("ConnectServer")) return static_cast<HRESULT>(*code);
    if (!equalsIgnoringCase(resource, u"ROOT\\CIMV2")) return WBEM_E_INVALID_NAMESPACE;
    *services = new Services;
    return WBEM_S_NO_ERROR;
  }
};

// --- The unsecured apartment -------------------------------------------------------------

// A stub around a sink: holds a reference to it and passes the sink's calls on.
class SinkStub final : public ComObject<IWbemObjectSink, &IID_IWbemObjectSink> {
 public:
  explicit SinkStub(IWbemObjectSink* inner) : inner_(inner) { inner_->AddRef(); }
  ~SinkStub() override { inner_->Release(); }

  HRESULT STDMETHODCALLTYPE Indicate(LONG count, IWbemClassObject** objects) override {
    return inner_->Indicate(count, objects);
  }
  HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR parameter,
                                      IWbemClassObject* object) override {
    return inner_->SetStatus(flags, result, parameter, object);
  }

 private:
  IWbemObjectSink* const inner_;
};

class UnsecuredApartment final : public ComObject<IUnsecuredApartment, &IID_IUnsecuredApartment> {
 public:
  HRESULT STDMETHODCALLTYPE CreateObjectStub(IUnknown* object, IUnknown** stub) override {
    if (!stub) return E_POINTER;
    *stub = nullptr;
    if (auto code = injectedFailure("CreateObjectStub")) return static_cast<HRESULT>(*code);
    if (!object) return E_POINTER;
    IWbemObjectSink* sink = nullptr;
    if (FAILED(object->QueryInterface(IID_IWbemObjectSink, reinterpret_cast<void**>(&sink))))
      return E_NOINTERFACE;
    IWbemObjectSink* made = new SinkStub(sink);
    sink->Release();
    *stub = made;
    return S_OK;
  }
};

// Waits, up to `timeoutSeconds` in all, for a poll of every active query (`delivered`:
// and for its delivery).
bool waitForPolls(double timeoutSeconds, bool delivered) {
  std::vector<std::shared_ptr<NotificationQuery>> queries;
  {
    std::lock_guard guard(active().lock);
    queries = active().queries;
  }
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
  bool all = true;
  for (auto& query : queries) all = query->waitForPoll(deadline, delivered) && all;
  return all;
}

}  // namespace

bool waitForDiskEvents(double timeoutSeconds) { return waitForPolls(timeoutSeconds, true); }

bool pollDiskEventsNow(double timeoutSeconds) { return waitForPolls(timeoutSeconds, false); }

bool waitForCancelledDeliveries(double timeoutSeconds) {
  return finishing().waitUntilNone(
      std::chrono::steady_clock::now() +
      std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000)));
}

std::size_t activeNotificationQueries() {
  std::lock_guard guard(active().lock);
  return active().queries.size();
}

std::size_t cancelAllNotificationQueries() {
  std::vector<std::shared_ptr<NotificationQuery>> queries;
  {
    std::lock_guard guard(active().lock);
    queries = std::move(active().queries);
    active().queries.clear();
  }
  for (auto& query : queries) query->stop();
  return queries.size();
}

}  // namespace kstv::host

HRESULT WINAPI CoCreateInstance(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID iid,
                                LPVOID* object) {
  using kstv::host::detail::injectedFailure;
  if (!object) return E_POINTER;
  *object = nullptr;
  if (kstv::host::comInitializationDepth() == 0) return CO_E_NOTINITIALIZED;
  if (outer) return CLASS_E_NOAGGREGATION;
  IUnknown* made = nullptr;
  if (classId == CLSID_WbemLocator && (context & CLSCTX_INPROC_SERVER)) {
    if (auto code = injectedFailure("CoCreateInstance(WbemLocator)"))
      return static_cast<HRESULT>(*code);
    made = static_cast<IWbemLocator*>(new kstv::host::Locator);
  } else if (classId == CLSID_UnsecuredApartment && (context & CLSCTX_LOCAL_SERVER)) {
    if (auto code = injectedFailure("CoCreateInstance(UnsecuredApartment)"))
      return static_cast<HRESULT>(*code);
    made = static_cast<IUnsecuredApartment*>(new kstv::host::UnsecuredApartment);
  } else {
    return REGDB_E_CLASSNOTREG;
  }
  HRESULT result = made->QueryInterface(iid, object);
  made->Release();
  return result;
}

HRESULT WINAPI CoSetProxyBlanket(IUnknown* proxy, DWORD authnService, DWORD authzService,
                                 OLECHAR* principal, DWORD authnLevel, DWORD impLevel,
                                 void* identity, DWORD capabilities) {
  using namespace kstv::host::detail;
  recordCall("CoSetProxyBlanket",
             {pointerArgument(proxy), hexArgument(authnService), hexArgument(authzService),
              textArgument(principal), hexArgument(authnLevel), hexArgument(impLevel),
              pointerArgument(identity), hexArgument(capabilities)});
  if (auto code = kstv::host::detail::injectedFailure("CoSetProxyBlanket"))
    return static_cast<HRESULT>(*code);
  return proxy ? S_OK : E_INVALIDARG;
}
