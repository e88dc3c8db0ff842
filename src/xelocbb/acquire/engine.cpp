#include "engine.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <system_error>
#include <thread>

#include "downloadmanager.h"
#include "platform.h"
#include "rules.h"

namespace QYXAcquistion::engine {

namespace {

using qyxl::UpdatePackage;

struct FileRecord {
  int32_t sizeKB = 0;
  int32_t downloadedKB = 0;  // sizeKB when present; updated by the monitor
  bool handled = false;
  bool present = false;  // the local file matched its checksum before the pass
};

struct UpdateRecord {
  bool started = false;
  bool allPresent = true;
  bool allOk = true;
  std::map<std::string, FileRecord> files;  // by download file name
  std::size_t handledFiles = 0;             // files whose `handled` is set
};

using Clock = std::chrono::steady_clock;

struct ThreadSlot {
  bool idle = true;
  bool enabled = false;
  UpdatePackage* package = nullptr;
  bool busy = false;  // the package's download call is in flight
  // The download whose progress the pass's monitor samples, and when next.
  std::string sampled;
  Clock::time_point nextSample;
};

// Everything the threads of a pass share. Every access takes `lock`; workers
// and monitors also hold it while they call the callback, so the callback's
// calls never overlap.
struct State {
  std::mutex lock;
  std::condition_variable slotReleased;
  std::mutex passLock;
  // Each slot's worker thread waits on its own condition for a package; the
  // monitor for a download to sample or for the next sample's time.
  std::array<std::condition_variable, detail::kThreadSlots> workHandedOut;
  std::condition_variable monitorWake;
  bool passOver = false;  // the pass's threads end
  // The pass's threads: a worker per slot that has been given work, kept
  // for the whole pass, and the monitor. All are joined when the pass ends.
  std::array<std::thread, detail::kThreadSlots> workers;
  std::thread monitorThread;

  AcquireCallbackIfc* callback = nullptr;
  qyxl::UpdateOrderContext* context = nullptr;
  AcquireType acquireType = ACQUIRE_BY_MACHINE_TYPE;
  bool success = false;
  int sampleIntervalMs = 0;  // 0: two seconds through the client's sleep

  std::vector<UpdatePackage*> queue;
  std::map<std::string, UpdateRecord> records;
  int doneRecords = 0;  // records whose files are all handled
  std::array<ThreadSlot, detail::kThreadSlots> slots;
};

// Never destroyed: one per process, and the pass's threads are joined
// before a pass returns, never at exit.
State& state() {
  static State* const s = new State;
  return *s;
}

constexpr auto kDispatchWait = std::chrono::milliseconds(500);
constexpr const char* kUnknownException = "Get an unknown exception!";

// ---- helpers; the caller holds the lock -----------------------------------

void send(State& s, AcquireMessage::Id id, const std::string& text, int code = 0) {
  if (s.callback) s.callback->sendInfo(id, text, code);
}

bool allHandled(const UpdateRecord& record) { return record.handledFiles == record.files.size(); }

// Sets a file's `handled` and keeps the counts of handled files and
// finished records.
void setHandled(State& s, UpdateRecord& record, FileRecord& file) {
  if (file.handled) return;
  file.handled = true;
  if (++record.handledFiles == record.files.size()) ++s.doneRecords;
}

void setAllHandled(State& s, UpdateRecord& record) {
  for (auto& [name, file] : record.files) setHandled(s, record, file);
}

// id ":" total ":" done
std::string counters(const State& s, const std::string& id) {
  return id + ":" + std::to_string(s.records.size()) + ":" + std::to_string(s.doneRecords);
}

int enabledCount(const State& s) {
  return static_cast<int>(std::count_if(s.slots.begin(), s.slots.end(), [](const ThreadSlot& t) { return t.enabled; }));
}

void releaseSlot(State& s, int index) {
  ThreadSlot& slot = s.slots[index];
  slot.package = nullptr;
  slot.busy = false;
  slot.idle = true;
  s.slotReleased.notify_all();
}

void markHandled(State& s, UpdateRecord& record, FileRecord& file, bool success) {
  setHandled(s, record, file);
  if (success)
    file.downloadedKB = file.sizeKB;
  else
    record.allOk = false;
}

// Reports a slot that cannot be worked on and fails the pass.
void internalError(State& s, int index, const std::string& what) {
  send(s, AcquireMessage::Log, "Internal error: thread slot " + std::to_string(index) + " " + what);
  s.success = false;
  releaseSlot(s, index);
}

// ---- monitor --------------------------------------------------------------

Clock::duration sampleInterval(const State& s) {
  if (s.sampleIntervalMs > 0) return std::chrono::milliseconds(s.sampleIntervalMs);
  return std::chrono::seconds(2);
}

// Reports the size written so far of the download in flight on one slot.
// The caller holds the lock.
void sample(State& s, UpdatePackage& package, const std::string& fileName) {
  const std::string id = package.getUpdateId();
  auto record = s.records.find(id);
  if (record == s.records.end()) return;
  auto file = record->second.files.find(fileName);
  if (file == record->second.files.end()) return;
  const std::string partial = qyxl::temporaryPathFor(platform::joinLocalPath(package.getDownloadPathname(), fileName));
  std::uint64_t bytes = 0;
  if (!platform::localFileSize(partial, bytes)) return;
  const int32_t current = detail::kbFromBytes(static_cast<long long>(bytes));
  const int32_t full = detail::kbFromBytes(static_cast<long long>(package.getSize()));
  file->second.downloadedKB = current;
  if (current >= full) return;
  send(s, AcquireMessage::FileProgress,
       id + ":" + fileName + ":" + std::to_string(current) + ":" + std::to_string(full) + ":" +
           std::to_string(s.records.size()) + ":" + std::to_string(s.doneRecords));
  int32_t sum = 0;
  for (const auto& [name, f] : record->second.files) sum = detail::addKb(sum, f.downloadedKB);
  send(s, AcquireMessage::UpdateProgress, id + ":" + std::to_string(sum));
}

// One thread per pass samples every download in flight: at once when it
// starts, then once per interval, until its download call returns.
void monitor() {
  State& s = state();
  std::unique_lock<std::mutex> lk(s.lock);
  while (!s.passOver) {
    const Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> next;
    for (ThreadSlot& slot : s.slots) {
      if (slot.sampled.empty()) continue;
      if (!slot.busy || !slot.package || !s.context || !s.callback ||
          slot.package->getDownloadFilename() != slot.sampled) {
        slot.sampled.clear();
        continue;
      }
      if (slot.nextSample <= now) {
        sample(s, *slot.package, slot.sampled);
        slot.nextSample = now + sampleInterval(s);
      }
      if (!next || slot.nextSample < *next) next = slot.nextSample;
    }
    if (next)
      s.monitorWake.wait_until(lk, *next);
    else
      s.monitorWake.wait(lk);
  }
}

// The caller holds the lock.
void startSampling(State& s, int index, const std::string& fileName) {
  ThreadSlot& slot = s.slots[index];
  slot.sampled = fileName;
  slot.nextSample = Clock::now();
  s.monitorWake.notify_one();
}

// ---- worker ---------------------------------------------------------------

struct Failure {
  bool client = false;  // thrown by the update-service client
  std::string text;
  qyxl::QYXMessage::Id messageId = qyxl::QYXMessage::Unknown;
};

// The package a worker holds and the records it reports on. Records are made
// before dispatch and never erased during it, so the references stay valid
// while the lock is released.
struct Job {
  int index;
  UpdatePackage* package;
  std::string id;
  std::string fileName;
  std::string idFile;  // id ":" fileName
  UpdateRecord& record;
  FileRecord& file;
};

// The job of a thread slot; a slot without a package or without records for
// it is reported and released. The caller holds the lock.
std::optional<Job> claim(State& s, int index) {
  UpdatePackage* package = s.slots[index].package;
  if (!package) {
    internalError(s, index, "was handed out without a package");
    return std::nullopt;
  }
  const std::string id = package->getUpdateId();
  const std::string fileName = package->getDownloadFilename();
  auto recordIt = s.records.find(id);
  if (recordIt == s.records.end() || !recordIt->second.files.count(fileName)) {
    internalError(s, index, "holds a package without an update record: " + id + ":" + fileName);
    return std::nullopt;
  }
  UpdateRecord& record = recordIt->second;
  return Job{index, package, id, fileName, id + ":" + fileName, record, record.files.find(fileName)->second};
}

// The download call itself; it runs without the lock.
std::optional<Failure> downloadFile(UpdatePackage& package, qyxl::UpdateOrderContext& context) {
  try {
    package.setCompareSizeEnabled(false);
    package.download(context);
  } catch (const qyxl::QYXException& e) {
    return Failure{true, e.what(), e.getId()};
  } catch (...) {
    return Failure{false, kUnknownException, qyxl::QYXMessage::Unknown};
  }
  return std::nullopt;
}

// Settles a failed download; the caller holds the lock. In fix-id mode the
// failure is an error of the pass. A failed or stalled transfer with two or
// more slots enabled retires this slot and queues the file again. Any other
// failure is final for the file. Returns true when the file is handled, and
// false when the slot has been released.
bool settleFailure(State& s, const Job& job, const Failure& failure) {
  if (s.acquireType == ACQUIRE_BY_FIX_ID) {
    send(s, AcquireMessage::Error, failure.text,
         failure.client ? detail::classifyClientError(failure.messageId, false) : ACQUIRE_FAILED);
    releaseSlot(s, job.index);
    return false;
  }
  if (failure.client && detail::isRetryableDownloadError(failure.messageId) && enabledCount(s) >= 2) {
    // Retry on fewer threads: this slot is retired and the package is
    // handed out again by the dispatcher. All of it happens under one
    // hold of the lock, so the dispatcher never sees the queue empty
    // while the package is on its way back.
    send(s, AcquireMessage::Verbose, job.idFile + ":" + failure.text);
    s.slots[job.index].enabled = false;
    send(s, AcquireMessage::Verbose,
         "After adjusting, available threadSlot count is: " + std::to_string(enabledCount(s)));
    if (std::find(s.queue.begin(), s.queue.end(), job.package) == s.queue.end()) s.queue.push_back(job.package);
    send(s, AcquireMessage::Verbose, job.id + ":  push " + job.fileName + " in cache again");
    job.file.downloadedKB = 0;
    releaseSlot(s, job.index);
    return false;
  }
  send(s, AcquireMessage::FileFailed, job.idFile + ":" + failure.text);
  markHandled(s, job.record, job.file, false);
  send(s, AcquireMessage::FileHandled, job.idFile);
  return true;
}

// Downloads the file of a job while a monitor reports its progress. The
// caller holds the lock; it is released for the download call only. Returns
// true when the file is handled, and false when the slot has been released.
bool fetch(State& s, std::unique_lock<std::mutex>& lk, const Job& job) {
  ThreadSlot& slot = s.slots[job.index];
  send(s, AcquireMessage::FileQueued, job.idFile);
  send(s, AcquireMessage::FileStarted, job.idFile);
  send(s, AcquireMessage::FileSize,
       job.idFile + ":" + std::to_string(detail::kbFromBytes(static_cast<long long>(job.package->getSize()))));
  slot.busy = true;
  startSampling(s, job.index, job.fileName);
  qyxl::UpdateOrderContext* context = s.context;
  lk.unlock();
  const std::optional<Failure> failure = downloadFile(*job.package, *context);
  lk.lock();

  if (failure) {
    slot.busy = false;
    return settleFailure(s, job, *failure);
  }
  if (slot.busy) {
    slot.busy = false;
    markHandled(s, job.record, job.file, true);
    send(s, AcquireMessage::FileDownloaded, job.idFile);
  }
  send(s, AcquireMessage::FileHandled, job.idFile);
  return true;
}

// Fetches the package of one thread slot, unless its file is present, and
// releases the slot. The caller holds the lock.
void work(State& s, std::unique_lock<std::mutex>& lk, int index) {
  const std::optional<Job> job = claim(s, index);
  if (!job) return;
  UpdateRecord& record = job->record;

  if (record.allPresent) {
    // Every file of the update is present: the first of its workers reports
    // the whole update, the others have nothing to do.
    if (!allHandled(record)) {
      setAllHandled(s, record);
      send(s, AcquireMessage::UpdatePresent, counters(s, job->id));
    }
    releaseSlot(s, index);
    return;
  }
  if (!record.started) {
    record.started = true;
    send(s, AcquireMessage::UpdateStarted, counters(s, job->id));
  }

  const std::string localPath = platform::joinLocalPath(job->package->getDownloadPathname(), job->fileName);
  const UpdatePackage& package = *job->package;
  lk.unlock();
  const bool present = DownloadManager::isPackageFile(localPath, package);
  lk.lock();

  if (present) {
    markHandled(s, record, job->file, true);
    send(s, AcquireMessage::FilePresent, job->idFile);
  } else if (!fetch(s, lk, *job)) {
    return;
  }
  if (allHandled(record))
    send(s, record.allOk ? AcquireMessage::UpdateDone : AcquireMessage::UpdateFailed, counters(s, job->id));
  releaseSlot(s, index);
}

// The worker of one thread slot: it takes every package the dispatcher
// puts in its slot until the pass ends.
void worker(int index) {
  State& s = state();
  std::unique_lock<std::mutex> lk(s.lock);
  for (;;) {
    s.workHandedOut[index].wait(lk, [&] { return s.passOver || !s.slots[index].idle; });
    if (s.slots[index].idle) return;
    work(s, lk, index);
  }
}

// Wakes the worker of a slot that has just been given a package, starting
// it on the slot's first package. False when no thread can be had. The
// caller holds the lock.
bool wakeWorker(State& s, int index) {
  if (s.workers[index].joinable()) {
    s.workHandedOut[index].notify_one();
    return true;
  }
  try {
    s.workers[index] = std::thread(worker, index);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// Ends the pass's threads once every slot is idle. The caller holds the
// lock; it is released while the threads finish.
void endPassThreads(State& s, std::unique_lock<std::mutex>& lk) {
  s.passOver = true;
  for (auto& handedOut : s.workHandedOut) handedOut.notify_all();
  s.monitorWake.notify_all();
  lk.unlock();
  for (auto& thread : s.workers)
    if (thread.joinable()) thread.join();
  if (s.monitorThread.joinable()) s.monitorThread.join();
  lk.lock();
}

int sampleIntervalFrom(const char* value) {
  if (!value) return 0;
  const int ms = std::atoi(value);
  return (ms >= 1 && ms <= 10000) ? ms : 0;
}

}  // namespace

std::unique_lock<std::mutex> lockPass() { return std::unique_lock<std::mutex>(state().passLock); }

namespace {

// What prepare() learns of one queued package's local file.
struct LocalFile {
  std::string id;
  std::string fileName;
  std::string path;
  bool present = false;  // the package's file, by its checksums
  bool missing = false;  // no file there at all
};

// Hashes the local files of the packages on as many threads as there are
// cores, at most `threads`: on a repeated pass nearly every file is present
// and hashing them is most of the pass's work. Files without id or name are
// not looked at.
void checkLocalFiles(const std::vector<UpdatePackage*>& packages, std::vector<LocalFile>& files, int threads) {
  std::atomic<std::size_t> next{0};
  auto run = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < packages.size();) {
      LocalFile& f = files[i];
      if (f.id.empty() || f.fileName.empty()) continue;
      f.present = DownloadManager::isPackageFile(f.path, *packages[i], &f.missing);
    }
  };
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t helpers = std::min({static_cast<std::size_t>(std::max(threads, 1)), cores, packages.size()});
  std::vector<std::thread> pool;
  for (std::size_t i = 1; i < helpers; ++i) {
    try {
      pool.emplace_back(run);
    } catch (const std::system_error&) {
      break;  // the threads there are do the work
    }
  }
  run();
  for (auto& thread : pool) thread.join();
}

}  // namespace

void prepare(std::vector<UpdatePackage*>& queue, const std::string& downloadPath, AcquireCallbackIfc& callback,
             std::set<std::string>& xmlFiles, bool deleteStale) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lk(s.lock);
    s.records.clear();
    s.doneRecords = 0;
  }
  std::vector<LocalFile> files(queue.size());
  for (std::size_t i = 0; i < queue.size(); ++i) {
    UpdatePackage* package = queue[i];
    package->setDownloadPathname(downloadPath);
    files[i].id = package->getUpdateId();
    files[i].fileName = package->getDownloadFilename();
    files[i].path = platform::joinLocalPath(package->getDownloadPathname(), files[i].fileName);
  }
  checkLocalFiles(queue, files, detail::threadCountFrom(std::getenv("ACQUIRE_THREAD_NUM")));

  std::vector<UpdatePackage*> kept;
  kept.reserve(queue.size());
  for (std::size_t i = 0; i < queue.size(); ++i) {
    const LocalFile& f = files[i];
    if (f.id.empty() || f.fileName.empty()) {
      callback.sendInfo(AcquireMessage::Log,
                        "Skipped an ordered package without update id or file name: " + f.id + ":" + f.fileName, 0);
      continue;
    }
    if (!f.present && !f.missing && deleteStale) {
      // A file that does not match is stale: it goes before the pass, so a
      // failed download never leaves an old file looking current. A report
      // changes nothing the user has.
      const int error = platform::deleteLocalFile(f.path);
      if (error != 0)
        callback.sendInfo(AcquireMessage::Log, "Delete " + f.path + " failed! Error code: " + std::to_string(error), 0);
    }
    {
      std::lock_guard<std::mutex> lk(s.lock);
      UpdateRecord& record = s.records[f.id];
      FileRecord file;
      file.sizeKB = detail::kbFromBytes(static_cast<long long>(queue[i]->getSize()));
      file.downloadedKB = f.present ? file.sizeKB : 0;
      file.present = f.present;
      record.files.emplace(f.fileName, file);
      if (!f.present) record.allPresent = false;
    }
    const std::string& name = f.fileName;
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".xml") == 0) xmlFiles.insert(name);
    kept.push_back(queue[i]);
  }
  queue.swap(kept);
}

int updateRecordCount() {
  State& s = state();
  std::lock_guard<std::mutex> lk(s.lock);
  return static_cast<int>(s.records.size());
}

namespace {

// A report only classifies what the pass found before it began, so it needs
// no workers: every update is told once, its files together, in the order
// the repository listed them, however many threads a download would use.
void reportPass(State& s, const std::vector<UpdatePackage*>& queue) {
  std::vector<std::string> order;
  std::map<std::string, std::vector<std::string>> filesOf;
  for (UpdatePackage* package : queue) {
    const std::string id = package->getUpdateId();
    auto [at, added] = filesOf.try_emplace(id);
    if (added) order.push_back(id);
    at->second.push_back(package->getDownloadFilename());
  }
  for (const std::string& id : order) {
    UpdateRecord& record = s.records[id];
    if (record.allPresent) {
      setAllHandled(s, record);
      send(s, AcquireMessage::UpdatePresent, counters(s, id));
      continue;
    }
    record.started = true;
    send(s, AcquireMessage::UpdateStarted, counters(s, id));
    for (const std::string& fileName : filesOf[id]) {
      const auto file = record.files.find(fileName);
      const bool present = file != record.files.end() && file->second.present;
      send(s, present ? AcquireMessage::ReportFilePresent : AcquireMessage::ReportFileMissing, id + ":" + fileName);
    }
  }
}

}  // namespace

bool dispatch(const std::vector<UpdatePackage*>& queue, const PassSettings& settings) {
  State& s = state();
  if (settings.report) {
    std::lock_guard<std::mutex> lk(s.lock);
    s.callback = settings.callback;
    s.success = true;
    reportPass(s, queue);
    s.callback = nullptr;
    return true;
  }
  const int threads = detail::threadCountFrom(std::getenv("ACQUIRE_THREAD_NUM"));
  const int sampleInterval = sampleIntervalFrom(std::getenv("ACQUIRE_MONITOR_INTERVAL_MS"));

  std::unique_lock<std::mutex> lk(s.lock);
  for (int i = 0; i < detail::kThreadSlots; ++i) s.slots[i] = ThreadSlot{true, i < threads, nullptr, false};
  s.queue = queue;
  s.callback = settings.callback;
  s.context = settings.context;
  s.acquireType = settings.acquireType;
  s.sampleIntervalMs = sampleInterval;
  s.success = true;
  s.passOver = false;
  try {
    s.monitorThread = std::thread(monitor);
  } catch (const std::system_error&) {
    // Without a monitor the downloads only go without progress reports.
  }

  for (;;) {
    if (!s.queue.empty()) {
      auto free = std::find_if(s.slots.begin(), s.slots.end(), [](const ThreadSlot& t) { return t.enabled && t.idle; });
      if (free != s.slots.end()) {
        const int index = static_cast<int>(free - s.slots.begin());
        free->idle = false;
        free->package = s.queue.front();
        free->busy = true;
        if (wakeWorker(s, index)) {
          s.queue.erase(s.queue.begin());
          continue;
        }
        // No thread to be had now: leave the package queued and try again.
        *free = ThreadSlot{true, true, nullptr, false};
      }
    } else if (std::all_of(s.slots.begin(), s.slots.end(), [](const ThreadSlot& t) { return !t.enabled || t.idle; })) {
      break;
    }
    // Woken as soon as a worker releases its slot, or after the wait.
    s.slotReleased.wait_for(lk, kDispatchWait);
  }

  endPassThreads(s, lk);
  const bool success = s.success;
  for (auto& slot : s.slots) {
    slot.package = nullptr;
    slot.busy = false;
  }
  s.callback = nullptr;
  s.context = nullptr;
  return success;
}

}  // namespace QYXAcquistion::engine
