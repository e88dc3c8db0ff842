// The download engine of one acquisition pass: the library-wide state, the
// preparation of the update records, the dispatcher that hands queued
// packages to thread slots, the slots' workers that fetch them and the
// monitor that reports the progress of every download in flight.
#pragma once
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "acquireutil.h"
#include "qyxl.h"

namespace QYXAcquistion::engine {

// Held for the whole of a pass: the engine's state is one per process, so
// passes of different managers run one after another.
std::unique_lock<std::mutex> lockPass();

// Clears the update records, points every package of `queue` at
// `downloadPath` and records its file: present when its checksum matches,
// otherwise (with `deleteStale`, i.e. when it will be downloaded again)
// deleted from the download directory. Packages without an update id or
// file name are removed from the queue. Names ending in ".xml" are added to
// `xmlFiles`. The local files are hashed on several threads.
void prepare(std::vector<qyxl::UpdatePackage*>& queue, const std::string& downloadPath, AcquireCallbackIfc& callback,
             std::set<std::string>& xmlFiles, bool deleteStale);

// Number of update records made by prepare().
int updateRecordCount();

struct PassSettings {
  AcquireCallbackIfc* callback = nullptr;
  qyxl::UpdateOrderContext* context = nullptr;
  bool report = false;
  AcquireType acquireType = ACQUIRE_BY_MACHINE_TYPE;
};

// Hands every queued package to the worker thread of a slot and waits until
// the queue is empty and every enabled slot is idle; a slot's worker is
// started with its first package and kept until the pass ends. Returns the
// pass success flag. A report pass starts no thread: it tells each update
// once, in queue order, from what prepare() found.
bool dispatch(const std::vector<qyxl::UpdatePackage*>& queue, const PassSettings& settings);

}  // namespace QYXAcquistion::engine
